/* Tests of the virtual null-modem cable (tools/nullmodem: shim.c, cable.c,
 * nrnullmodem.c) from a Linux program, as a Linux peer uses it: pty pairs of
 * its own, the tool to plug them in, the preload library answering ioctl.
 *
 *   cable_test TOOL     (run with LD_PRELOAD and NR_NULLMODEM_STATE set)
 *
 * Built 64-bit, and 32-bit with 64-bit time, which reaches the library
 * through __ioctl_time64 as 32-bit Wine does. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static const char* tool;
static int failures;

#define CHECK(cond)                                                                          \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            fprintf(stderr, "%s:%d: %s: failed: %s\n", __FILE__, __LINE__, __func__, #cond); \
            ++failures;                                                                      \
        }                                                                                    \
    } while (0)

struct pty {
    int master, slave;
    char name[64];
};

static struct pty open_pty(void) {
    struct pty p;
    if (openpty(&p.master, &p.slave, p.name, NULL, NULL) != 0) {
        perror("openpty");
        exit(2);
    }
    return p;
}

static void close_pty(struct pty* p) {
    close(p->slave);
    close(p->master);
}

/* Runs PROGRAM with up to four arguments; its exit code. */
static int spawn(const char* program, const char* a, const char* b, const char* c, const char* d) {
    const pid_t pid = fork();
    if (pid == 0) {
        /* Its complaints are expected where a test wants it to fail. */
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(program, program, a, b, c, d, (char*)NULL);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

static int run(const char* a, const char* b, const char* c, const char* d) { return spawn(tool, a, b, c, d); }

/* The tool's "show TTY" line; empty when it failed. */
static void show(const char* tty, char* out, size_t size) {
    int fds[2];
    out[0] = 0;
    if (pipe(fds) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl(tool, tool, "show", tty, (char*)NULL);
        _exit(127);
    }
    close(fds[1]);
    size_t got = 0;
    for (ssize_t n; got + 1 < size && (n = read(fds[0], out + got, size - 1 - got)) > 0;) got += (size_t)n;
    out[got] = 0;
    close(fds[0]);
    waitpid(pid, NULL, 0);
}

static int shows(const char* tty, const char* text) {
    char out[512];
    show(tty, out, sizeof out);
    if (strstr(out, text)) return 1;
    fprintf(stderr, "  show %s: %s  (wanted %s)\n", tty ? tty : "", out, text);
    return 0;
}

static void apply(int fd, speed_t speed, tcflag_t frame) {
    struct termios t;
    CHECK(tcgetattr(fd, &t) == 0);
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag = (t.c_cflag & ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)) | frame;
    CHECK(tcsetattr(fd, TCSANOW, &t) == 0);
}

static int lines(int fd) {
    int w = -1;
    return ioctl(fd, TIOCMGET, &w) == 0 ? w : -1;
}

static void set(int fd, unsigned long request, int bits) { CHECK(ioctl(fd, request, &bits) == 0); }

static void test_a_tty_off_the_cable_is_left_to_the_kernel(void) {
    struct pty p = open_pty();
    int w = 0;
    errno = 0;
    CHECK(ioctl(p.slave, TIOCMGET, &w) == -1 && errno == ENOTTY);
    /* Other requests are the kernel's on any tty. */
    struct termios t;
    CHECK(tcgetattr(p.slave, &t) == 0);
    cfmakeraw(&t);
    CHECK(tcsetattr(p.slave, TCSANOW, &t) == 0);
    /* A pty holds no other frame than 8N1 (glibc also reports the request as refused). */
    t.c_cflag = (t.c_cflag & ~(tcflag_t)CSIZE) | CS7 | PARENB;
    tcsetattr(p.slave, TCSANOW, &t);
    CHECK(tcgetattr(p.slave, &t) == 0 && (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & PARENB));
    CHECK(write(p.master, "ab", 2) == 2);
    struct pollfd in = {.fd = p.slave, .events = POLLIN, .revents = 0};
    CHECK(poll(&in, 1, 5000) == 1);
    int queued = 0;
    CHECK(ioctl(p.slave, FIONREAD, &queued) == 0 && queued == 2);
    close_pty(&p);
}

static void test_the_wiring_of_a_null_modem_cable(void) {
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    CHECK(lines(a.slave) == 0 && lines(b.slave) == 0);
    set(a.slave, TIOCMBIS, TIOCM_DTR);
    CHECK(lines(a.slave) == TIOCM_DTR);
    CHECK(lines(b.slave) == (TIOCM_DSR | TIOCM_CD));
    set(b.slave, TIOCMSET, TIOCM_RTS | TIOCM_LE); /* only DTR and RTS are outputs */
    CHECK(lines(a.slave) == (TIOCM_DTR | TIOCM_CTS));
    CHECK(lines(b.slave) == (TIOCM_RTS | TIOCM_DSR | TIOCM_CD));
    set(a.slave, TIOCMBIC, TIOCM_DTR);
    CHECK(lines(b.slave) == TIOCM_RTS);

    /* From outside: RING, and inputs held on or off. */
    CHECK(run("ring", a.name, "on", NULL) == 0);
    CHECK(lines(a.slave) == (TIOCM_CTS | TIOCM_RI));
    CHECK(run("ring", a.name, "off", NULL) == 0);
    CHECK(run("force", b.name, "cts", "on") == 0);
    set(a.slave, TIOCMSET, TIOCM_DTR);
    CHECK(run("force", b.name, "dcd", "off") == 0);
    CHECK(lines(b.slave) == (TIOCM_RTS | TIOCM_CTS | TIOCM_DSR));
    CHECK(run("force", b.name, "cts", "auto") == 0);
    CHECK(run("force", b.name, "rlsd", "auto") == 0);
    CHECK(lines(b.slave) == (TIOCM_RTS | TIOCM_DSR | TIOCM_CD));
    CHECK(run("force", b.name, "dtr", "on") == 2); /* not an input */

    /* Unplugged: the ttys are plain ptys again. */
    CHECK(run("unplug", b.name, NULL, NULL) == 0);
    CHECK(lines(a.slave) == -1 && lines(b.slave) == -1);
    CHECK(run("unplug", b.name, NULL, NULL) == 1);
    close_pty(&a);
    close_pty(&b);
}

static void test_each_ends_line_settings_are_shown_the_latest_first(void) {
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    CHECK(shows(a.name, " line=-\n"));
    apply(a.slave, B57600, CS8);
    apply(a.slave, B57600, CS8); /* the same again is no change */
    apply(a.slave, B1200, CS7);
    apply(b.slave, B9600, CS8 | PARENB | CSTOPB);
    CHECK(shows(a.name, " line=1200/7N1 before=57600/8N1\n"));
    CHECK(shows(b.name, " line=9600/8E2\n"));
    apply(b.slave, B115200, CS7 | PARENB | PARODD | CMSPAR);
    CHECK(shows(b.name, " line=115200/7M1 before=9600/8E2\n"));
    /* A pty holds 8N1 only (glibc refuses other frames on it); a cable end
     * takes any frame and keeps it, so changing only the rate (read, change,
     * write) keeps it too. */
    struct termios t;
    CHECK(tcgetattr(b.slave, &t) == 0);
    CHECK((t.c_cflag & CSIZE) == CS7 && (t.c_cflag & (PARENB | PARODD | CMSPAR)) == (PARENB | PARODD | CMSPAR));
    cfsetospeed(&t, B2400);
    CHECK(tcsetattr(b.slave, TCSANOW, &t) == 0);
    CHECK(shows(b.name, " line=2400/7M1 before=115200/7M1,9600/8E2\n"));
    /* Only the last few are kept. */
    for (int i = 0; i < 10; ++i) apply(a.slave, i % 2 ? B2400 : B4800, CS8);
    CHECK(shows(a.name, " line=2400/8N1 before=4800/8N1,2400/8N1,4800/8N1,2400/8N1,4800/8N1,2400/8N1,4800/8N1\n"));
    /* Closing keeps them (the tty keeps its settings); plugging in again forgets them. */
    const int again = open(a.name, O_RDWR | O_NOCTTY);
    close(again);
    CHECK(shows(a.name, " line=2400/8N1 "));
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    CHECK(shows(a.name, " line=-\n") && shows(b.name, " line=-\n"));
    run("unplug", a.name, NULL, NULL);
    close_pty(&a);
    close_pty(&b);
}

static void test_outputs_drop_when_the_port_closes_or_its_process_ends(void) {
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    /* A second descriptor of the same tty keeps the port open. */
    const int again = open(a.name, O_RDWR | O_NOCTTY);
    set(again, TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
    close(a.slave);
    CHECK(lines(b.slave) == (TIOCM_CTS | TIOCM_DSR | TIOCM_CD));
    close(again);
    CHECK(lines(b.slave) == 0);

    /* A process that ends without closing. */
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(a.name, O_RDWR | O_NOCTTY); /* raises DTR and RTS */
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &rts);
        _exit(lines(b.slave) == (TIOCM_DSR | TIOCM_CD) ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    CHECK(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    CHECK(lines(b.slave) == 0);
    run("unplug", a.name, NULL, NULL);
    close(a.master);
    close_pty(&b);
}

/* The test as a peer of its own (--open TTY FD): opens TTY; 1 when the other
 * end (FD) then sees its DTR and RTS, 0 when it sees neither. */
static int peer_opens(const char* tty, int other) {
    const int w = open(tty, O_RDWR | O_NOCTTY) < 0 ? -1 : lines(other);
    return w == (TIOCM_CTS | TIOCM_DSR | TIOCM_CD) ? 1 : w == 0 ? 0 : 2;
}

static void test_a_ports_first_open_raises_dtr_and_rts(void) {
    /* The peer's program (Wine's are known by name); whether another process holds the end, lines down. */
    static const struct {
        const char* exe;
        int held, seen;
    } cases[] = {{"peer", 0, 1}, {"peer", 1, 0}, {"wineserver", 0, 0}};
    char exe[PATH_MAX], fd[16];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        struct pty a = open_pty(), b = open_pty();
        const int held = cases[i].held ? open(a.name, O_RDWR | O_NOCTTY) : -1;
        CHECK(run("plug", a.name, b.name, NULL) == 0);
        if (held >= 0) set(held, TIOCMSET, 0);
        snprintf(exe, sizeof exe, "%.*s/%s.%d", (int)(strrchr(tool, '/') - tool), tool, cases[i].exe, (int)getpid());
        snprintf(fd, sizeof fd, "%d", b.slave);
        CHECK(linkat(AT_FDCWD, "/proc/self/exe", AT_FDCWD, exe, AT_SYMLINK_FOLLOW) == 0);
        CHECK(spawn(exe, "--open", a.name, fd, NULL) == cases[i].seen);
        unlink(exe);
        close(held);
        run("unplug", a.name, NULL, NULL);
        close_pty(&a);
        close_pty(&b);
    }
}

/* The kernel's termios2 (its termios lacks the two rates), which programs
 * that set any rate use with bare requests. */
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line, c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define FRAME (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)

static void test_bare_termios_requests_are_kept_as_tcsetattr_is(void) {
    const unsigned long get2 = _IOR('T', 0x2A, struct kernel_termios2);
    const struct {
        unsigned long get, set;
        tcflag_t cflag;
        speed_t rate; /* with BOTHER (CBAUDEX) */
        const char* shown;
    } cases[] = {
        {TCGETS, TCSETS, B57600 | CS7 | PARENB, 0, " line=57600/7E1"},
        {TCGETS, TCSETSF, B1200 | CS8 | CSTOPB, 0, " line=1200/8N2"},
        {get2, _IOW('T', 0x2B, struct kernel_termios2), CBAUDEX | CS7 | PARODD | PARENB, 250000, "=250000/7O1"},
        {get2, _IOW('T', 0x2C, struct kernel_termios2), B2400 | CS6 | PARENB | CMSPAR, 0, "=2400/6S1"}};
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        struct kernel_termios2 k;
        CHECK(ioctl(a.slave, cases[i].get, &k) == 0);
        k.c_cflag = (k.c_cflag & ~(tcflag_t)(CBAUD | FRAME)) | cases[i].cflag;
        k.c_ospeed = cases[i].rate;
        CHECK(ioctl(a.slave, cases[i].set, &k) == 0 && shows(a.name, cases[i].shown));
        CHECK(ioctl(a.slave, cases[i].get, &k) == 0 && (k.c_cflag & FRAME) == (cases[i].cflag & FRAME));
    }
    run("unplug", a.name, NULL, NULL);
    close_pty(&a);
    close_pty(&b);
}

static void test_an_end_is_named_by_its_tty_once_its_link_is_gone(void) {
    static const struct {
        int pty_gone, link_gone, by_link, rc;
    } cases[] = {{0, 0, 1, 0}, {1, 0, 1, 0}, {1, 1, 0, 0}, {1, 1, 1, 1}};
    char link[PATH_MAX];
    snprintf(link, sizeof link, "%s.link", getenv("NR_NULLMODEM_STATE"));
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        struct pty a = open_pty(), b = open_pty();
        unlink(link);
        CHECK(symlink(a.name, link) == 0 && run("plug", link, b.name, NULL) == 0);
        if (cases[i].pty_gone) close_pty(&a); /* socat ended */
        if (cases[i].link_gone) unlink(link);
        CHECK(run("unplug", cases[i].by_link ? link : a.name, NULL, NULL) == cases[i].rc);
        run("unplug", b.name, NULL, NULL);
        if (!cases[i].pty_gone) close_pty(&a);
        close_pty(&b);
    }
}

static void test_a_hung_up_end_fails_like_a_removed_device(void) {
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    close(b.master); /* socat ended */
    int w = 0;
    errno = 0;
    CHECK(ioctl(b.slave, TIOCMGET, &w) == -1 && errno == EIO);
    CHECK(ioctl(b.slave, TIOCMBIS, &w) == -1 && errno == EIO);
    CHECK(lines(a.slave) == 0); /* the other end still answers */
    run("unplug", a.name, NULL, NULL);
    close(b.slave);
    close_pty(&a);
}

struct toggler {
    int fd, bit, lost;
};

static void* toggle(void* arg) {
    struct toggler* t = arg;
    for (int i = 0; i < 20000; ++i) {
        int bit = t->bit;
        ioctl(t->fd, TIOCMBIS, &bit);
        if (!(lines(t->fd) & t->bit)) ++t->lost;
        ioctl(t->fd, TIOCMBIC, &bit);
        if (lines(t->fd) & t->bit) ++t->lost;
    }
    return NULL;
}

static void test_concurrent_changes_of_one_end_lose_nothing(void) {
    struct pty a = open_pty(), b = open_pty();
    CHECK(run("plug", a.name, b.name, NULL) == 0);
    struct toggler dtr = {a.slave, TIOCM_DTR, 0}, rts = {a.slave, TIOCM_RTS, 0};
    pthread_t t1, t2;
    pthread_create(&t1, NULL, toggle, &dtr);
    pthread_create(&t2, NULL, toggle, &rts);
    pthread_join(t1, NULL);
    pthread_join(t2, NULL);
    CHECK(dtr.lost == 0 && rts.lost == 0);
    run("unplug", a.name, NULL, NULL);
    close_pty(&a);
    close_pty(&b);
}

static void test_pairs_plugged_at_once_all_arrive(void) {
    enum { N = 8 };
    struct pty p[2 * N];
    pid_t pid[N];
    for (int i = 0; i < 2 * N; ++i) p[i] = open_pty();
    for (int i = 0; i < N; ++i)
        if ((pid[i] = fork()) == 0) _exit(run("plug", p[2 * i].name, p[2 * i + 1].name, NULL));
    for (int i = 0; i < N; ++i) {
        int st = 0;
        waitpid(pid[i], &st, 0);
        CHECK(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    for (int i = 0; i < 2 * N; ++i) CHECK(lines(p[i].slave) == 0);
    /* A tty plugged again leaves its old cable. */
    CHECK(run("plug", p[0].name, p[3].name, NULL) == 0);
    CHECK(lines(p[1].slave) == -1 && lines(p[2].slave) == -1);
    set(p[0].slave, TIOCMBIS, TIOCM_RTS);
    CHECK(lines(p[3].slave) == TIOCM_CTS);
    for (int i = 0; i < 2 * N; ++i) {
        run("unplug", p[i].name, NULL, NULL);
        close_pty(&p[i]);
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "--open")) return peer_opens(argv[2], atoi(argv[3]));
    if (argc != 2 || !getenv("NR_NULLMODEM_STATE")) {
        fprintf(stderr, "usage: NR_NULLMODEM_STATE=FILE LD_PRELOAD=... %s TOOL\n", argv[0]);
        return 2;
    }
    tool = argv[1];
    unlink(getenv("NR_NULLMODEM_STATE"));
    CHECK(shows(NULL, "no ends plugged into the cable\n"));
    test_a_tty_off_the_cable_is_left_to_the_kernel();
    test_the_wiring_of_a_null_modem_cable();
    test_each_ends_line_settings_are_shown_the_latest_first();
    test_outputs_drop_when_the_port_closes_or_its_process_ends();
    test_a_ports_first_open_raises_dtr_and_rts();
    test_bare_termios_requests_are_kept_as_tcsetattr_is();
    test_an_end_is_named_by_its_tty_once_its_link_is_gone();
    test_a_hung_up_end_fails_like_a_removed_device();
    test_concurrent_changes_of_one_end_lose_nothing();
    test_pairs_plugged_at_once_all_arrive();
    printf("%s\n", failures ? "FAILED" : "all passed");
    return failures ? 1 : 0;
}
