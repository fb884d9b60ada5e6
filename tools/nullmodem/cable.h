/* The virtual null-modem cable: a table of pty pairs and their modem lines,
 * kept in a small file that every process on the cable maps shared. The
 * preload library answers the modem ioctls from it; the command-line tool
 * plugs pairs in and out and sets lines from outside.
 *
 * Wiring, as in a null-modem cable: one end's DTR is the other end's DSR and
 * DCD, one end's RTS the other end's CTS. RING, and any input line, can be
 * held on or off from outside. A Linux program's first open of an end raises
 * its outputs, and they drop when the process that set them closes its last
 * descriptor of the tty or ends, as a serial driver raises DTR and RTS when
 * its port opens and drops them when it closes.
 *
 * The layout is fixed-width 32-bit fields and characters only, so 32- and
 * 64-bit processes share it. An all-zero file is an empty table. */
#ifndef NR_CABLE_H
#define NR_CABLE_H

#include <stdint.h>
#include <sys/ioctl.h>

#define CABLE_MAGIC 0x314e4d4eu /* "NMN1": layout version 1 */
#define CABLE_PAIRS 64
#define CABLE_PATH 48

/* Lines in the kernel's TIOCM_* bits. */
#define CABLE_OUTPUTS (TIOCM_DTR | TIOCM_RTS)
#define CABLE_INPUTS (TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI)

struct cable_end {
    char path[CABLE_PATH]; /* the tty, e.g. /dev/pts/5 */
    uint32_t out;          /* outputs this end drives (CABLE_OUTPUTS) */
    uint32_t force_on;     /* inputs held on from outside */
    uint32_t force_off;    /* inputs held off from outside */
    uint32_t owner;        /* the process that last set the outputs */
};

struct cable_pair {
    /* Odd while the tool rewrites the pair; a reader that sees it change
     * read a torn entry. A pair is free when its first path is empty. */
    uint32_t seq;
    uint32_t breaks[2]; /* breaks each end has sent (TIOCSBRK, tcsendbreak) */
    uint32_t reserved;
    struct cable_end end[2];
};

struct cable_table {
    uint32_t magic;
    uint32_t reserved[3];
    struct cable_pair pair[CABLE_PAIRS];
};

/* The line settings of an end (rate and frame format), packed in 32 bits:
 * 0 for none known yet. A pty ignores them, so the cable keeps what each end
 * applied (tcsetattr), for a peer or a test to see the rate and format the
 * other side uses. */
#define CABLE_SET_BAUD 0x00ffffffu /* bits per second */
#define CABLE_SET_DATA_SHIFT 24    /* data bits, 5 to 8 */
#define CABLE_SET_PARITY_SHIFT 28  /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
#define CABLE_SET_TWO_STOP 0x80000000u
#define CABLE_HISTORY 8

/* The settings an end applied, the latest last: set[(count - 1) % CABLE_HISTORY].
 * A change to the same settings again is not counted. */
struct cable_line {
    uint32_t count;
    uint32_t set[CABLE_HISTORY];
};

/* The whole file: the table, then the line settings of every end. Programs
 * built before the settings were kept map only the table; they share the
 * file unharmed. */
struct cable_file {
    struct cable_table table;
    struct cable_line line[CABLE_PAIRS][2];
};

/* Where an end lives in the table. */
struct cable_ref {
    int pair;
    int side;
};

/* Maps the table in FILE, creating the file when missing. NULL on failure,
 * errno set (EPROTO: the file holds something else). *fd_out, when given,
 * receives the open file, for cable_lock. */
struct cable_table* cable_map(const char* file, int* fd_out);

/* Finds the end whose tty is PATH; 0 when found. */
int cable_find(const struct cable_table* t, const char* path, struct cable_ref* ref);

/* The TIOCM_* word as the end sees it: its own outputs and its inputs. */
uint32_t cable_lines(const struct cable_table* t, struct cable_ref ref);

/* Changes the end's outputs the way TIOCMSET, TIOCMBIS and TIOCMBIC do;
 * PID becomes their owner. */
void cable_set_outputs(struct cable_table* t, struct cable_ref ref, unsigned long request, uint32_t bits, uint32_t pid);

/* Keeps SETTINGS (packed as above) as the end's latest line settings. */
void cable_note_settings(struct cable_table* t, struct cable_ref ref, uint32_t settings);

/* The end's settings, the latest first, at most MAX of them; how many. */
int cable_settings(const struct cable_table* t, struct cable_ref ref, uint32_t* out, int max);

/* "57600/8N1" (2 stop bits: "8N2"; 1.5 stop bits are kept as 2). */
void cable_format_settings(uint32_t settings, char* buf, unsigned size);

/* The end sent a break: a pty carries none, so the cable counts them. */
void cable_note_break(struct cable_table* t, struct cable_ref ref);

/* Drops the end's outputs if PID owns them (it closed the port). */
void cable_release(struct cable_table* t, struct cable_ref ref, uint32_t pid);

/* PID opened the end: raises DTR and RTS as a tty driver does on the port's
 * first open, unless a live process already holds the end's outputs. */
void cable_open(struct cable_table* t, struct cable_ref ref, uint32_t pid);

/* Holds input LINES of an end on (how > 0), off (how < 0), or lets them
 * follow the cable again (how == 0). */
void cable_force(struct cable_table* t, struct cable_ref ref, uint32_t lines, int how);

/* Plugging and unplugging: only the tool does it, under cable_lock. */
int cable_lock(int fd);
void cable_unlock(int fd);
/* Registers A and B as the two ends of one cable, all lines off; an earlier
 * pair holding either tty is removed first. 0, or -1 with errno (ENOSPC,
 * ENAMETOOLONG). */
int cable_plug(struct cable_table* t, const char* a, const char* b);
/* Removes the pair holding PATH; 0 when there was one. */
int cable_unplug(struct cable_table* t, const char* path);

#endif
