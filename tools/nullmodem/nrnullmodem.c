/* nrnullmodem: plugs pty pairs into the virtual null-modem cable and works
 * its lines from outside. See usage() and README (Tests). */
#define _GNU_SOURCE
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cable.h"

static const char* prog = "nrnullmodem";

static void usage(FILE* f) {
    fprintf(f,
            "usage: %s [--state FILE] COMMAND ...\n"
            "  plug TTY1 TTY2              wire two ttys as the ends of a null-modem cable, all lines off\n"
            "  unplug TTY                  take out the cable holding TTY\n"
            "  ring TTY on|off             RING at TTY\n"
            "  force TTY LINE on|off|auto  hold an input of TTY on or off, or let it follow the cable;\n"
            "                              LINE: cts, dsr, dcd (rlsd), ring (ri)\n"
            "  show [TTY]                  the lines of every cable end (or of TTY), the breaks it sent\n"
            "                              (breaks=N), its line settings\n"
            "                              (rate/data bits, parity, stop bits: line=57600/8N1) and the\n"
            "                              ones it used before, the latest first (before=1200/7N1,...)\n"
            "TTY may be a link to the tty (as socat makes) while the link exists; after\n"
            "that, the tty itself (/dev/pts/N, as show lists it). The cable lives in FILE,\n"
            "default $NR_NULLMODEM_STATE; programs on it run with the preload library\n"
            "and the same NR_NULLMODEM_STATE.\n",
            prog);
}

static int fail(const char* what, const char* detail) {
    fprintf(stderr, "%s: %s%s%s\n", prog, what, detail ? ": " : "", detail ? detail : "");
    return 1;
}

/* The tty behind a link, also when its pty is gone (socat was killed); the
 * name itself when it is no link, so a tty that is gone can still be named. */
static const char* tty_path(const char* name, char buf[PATH_MAX]) {
    if (realpath(name, buf)) return buf;
    const ssize_t n = readlink(name, buf, PATH_MAX - 1);
    if (n <= 0 || buf[0] != '/') return name;
    buf[n] = 0;
    return buf;
}

/* socat removes its links when it ends: after that only the tty names an end. */
static int not_on_cable(const char* name) {
    struct stat st;
    if (lstat(name, &st) == 0) return fail("not on a cable", name);
    return fail("no such tty or link (once a link is gone, name the end by its tty, as show lists it)", name);
}

static void print_end(const struct cable_table* t, struct cable_ref r) {
    static const struct {
        uint32_t bit;
        const char* name;
    } lines[] = {{TIOCM_DTR, "dtr"}, {TIOCM_RTS, "rts"}, {TIOCM_CTS, "cts"},
                 {TIOCM_DSR, "dsr"}, {TIOCM_CD, "dcd"},  {TIOCM_RI, "ring"}};
    const uint32_t w = cable_lines(t, r);
    printf("%.*s", CABLE_PATH, t->pair[r.pair].end[r.side].path);
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i)
        printf(" %s=%d", lines[i].name, (w & lines[i].bit) != 0);
    printf(" breaks=%u", __atomic_load_n(&t->pair[r.pair].breaks[r.side], __ATOMIC_RELAXED));
    /* The settings the end uses, then those it used before, the latest first. */
    uint32_t s[CABLE_HISTORY];
    const int n = cable_settings(t, r, s, CABLE_HISTORY);
    char text[32];
    for (int i = 0; i < n || i == 0; ++i) {
        if (i < n) cable_format_settings(s[i], text, sizeof text);
        printf(i == 0 ? " line=%s" : i == 1 ? " before=%s" : ",%s", i < n ? text : "-");
    }
    printf("\n");
}

static int show(const struct cable_table* t, const char* tty) {
    struct cable_ref r;
    if (tty) {
        if (cable_find(t, tty, &r) != 0) return not_on_cable(tty);
        print_end(t, r);
        return 0;
    }
    int plugged = 0;
    for (r.pair = 0; r.pair < CABLE_PAIRS; ++r.pair) {
        if (!t->pair[r.pair].end[0].path[0]) continue;
        for (r.side = 0; r.side < 2; ++r.side) print_end(t, r);
        plugged = 1;
    }
    if (!plugged) printf("no ends plugged into the cable\n");
    return 0;
}

static int parse_line(const char* s, uint32_t* bit) {
    if (!strcmp(s, "cts"))
        *bit = TIOCM_CTS;
    else if (!strcmp(s, "dsr"))
        *bit = TIOCM_DSR;
    else if (!strcmp(s, "dcd") || !strcmp(s, "rlsd"))
        *bit = TIOCM_CD;
    else if (!strcmp(s, "ring") || !strcmp(s, "ri"))
        *bit = TIOCM_RI;
    else
        return -1;
    return 0;
}

static int parse_how(const char* s, int* how) {
    if (!strcmp(s, "on"))
        *how = 1;
    else if (!strcmp(s, "off"))
        *how = -1;
    else if (!strcmp(s, "auto"))
        *how = 0;
    else
        return -1;
    return 0;
}

int main(int argc, char** argv) {
    const char* file = getenv("NR_NULLMODEM_STATE");
    int i = 1;
    if (i + 1 < argc && !strcmp(argv[i], "--state")) {
        file = argv[i + 1];
        i += 2;
    }
    if (i >= argc || !strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
        usage(i >= argc ? stderr : stdout);
        return i >= argc ? 2 : 0;
    }
    if (!file || !*file) return fail("no cable: give --state FILE or set NR_NULLMODEM_STATE", NULL);
    const char* cmd = argv[i++];
    const int nargs = argc - i;
    char** arg = argv + i;

    int fd = -1;
    struct cable_table* t = cable_map(file, &fd);
    if (!t) return fail(file, errno == EPROTO ? "not a cable file" : strerror(errno));
    char p1[PATH_MAX], p2[PATH_MAX];
    struct cable_ref r;
    uint32_t line = 0;
    int how = 0, rc = 0;

    if (!strcmp(cmd, "show") && nargs <= 1) return show(t, nargs ? tty_path(arg[0], p1) : NULL);
    if (cable_lock(fd) != 0) return fail(file, strerror(errno));
    if (!strcmp(cmd, "plug") && nargs == 2) {
        if (cable_plug(t, tty_path(arg[0], p1), tty_path(arg[1], p2)) != 0)
            rc = fail("cannot plug", errno == ENOSPC ? "every cable is in use" : strerror(errno));
    } else if (!strcmp(cmd, "unplug") && nargs == 1) {
        if (cable_unplug(t, tty_path(arg[0], p1)) != 0) rc = not_on_cable(arg[0]);
    } else if (!strcmp(cmd, "ring") && nargs == 2 && parse_how(arg[1], &how) == 0 && how != 0) {
        if (cable_find(t, tty_path(arg[0], p1), &r) != 0)
            rc = not_on_cable(arg[0]);
        else
            cable_force(t, r, TIOCM_RI, how > 0 ? 1 : 0);
    } else if (!strcmp(cmd, "force") && nargs == 3 && parse_line(arg[1], &line) == 0 && parse_how(arg[2], &how) == 0) {
        if (cable_find(t, tty_path(arg[0], p1), &r) != 0)
            rc = not_on_cable(arg[0]);
        else
            cable_force(t, r, line, how);
    } else {
        usage(stderr);
        rc = 2;
    }
    cable_unlock(fd);
    return rc;
}
