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

/* Runs the tool with up to four arguments; its exit code. */
static int run(const char* a, const char* b, const char* c, const char* d) {
    const pid_t pid = fork();
    if (pid == 0) {
        /* Its complaints are expected where a test wants it to fail. */
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        execl(tool, tool, a, b, c, d, (char*)NULL);
        _exit(127);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

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
    fprintf(stderr, "  show %s: %s  (wanted %s)\n", tty, out, text);
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
        const int fd = open(a.name, O_RDWR | O_NOCTTY);
        int dtr = TIOCM_DTR;
        ioctl(fd, TIOCMBIS, &dtr);
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
    if (argc != 2 || !getenv("NR_NULLMODEM_STATE")) {
        fprintf(stderr, "usage: NR_NULLMODEM_STATE=FILE LD_PRELOAD=... %s TOOL\n", argv[0]);
        return 2;
    }
    tool = argv[1];
    unlink(getenv("NR_NULLMODEM_STATE"));
    test_a_tty_off_the_cable_is_left_to_the_kernel();
    test_the_wiring_of_a_null_modem_cable();
    test_each_ends_line_settings_are_shown_the_latest_first();
    test_outputs_drop_when_the_port_closes_or_its_process_ends();
    test_a_hung_up_end_fails_like_a_removed_device();
    test_concurrent_changes_of_one_end_lose_nothing();
    test_pairs_plugged_at_once_all_arrive();
    printf("%s\n", failures ? "FAILED" : "all passed");
    return failures ? 1 : 0;
}
