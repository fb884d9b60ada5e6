/* The preload library of the virtual null-modem cable. A pty has no modem
 * lines, so the kernel refuses TIOCMGET and friends on it. This library
 * answers them for ttys plugged into the cable (see cable.h), from the table
 * named by NR_NULLMODEM_STATE; every other request, and every tty that is
 * not on the cable, goes to the C library untouched.
 *
 * 32-bit Wine's ntdll calls __ioctl_time64 (the 64-bit time ABI of glibc),
 * everything else ioctl: both are answered. open is watched so that a Linux
 * program's open raises DTR and RTS as a tty driver's does, close so that a
 * port closed by its process drops its outputs, and tcsetattr and tcgetattr
 * (glibc's pair does not go through the exported ioctl) and the bare termios
 * requests (TCSETS, TCSETS2 and the like, which programs that set any rate
 * use) so that the cable knows each end's rate and frame format and keeps
 * the frame a pty would lose. */
#define _GNU_SOURCE
/* This library defines the C library's open functions themselves. */
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "cable.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*ioctl_fn)(int, unsigned long, ...);
typedef int (*close_fn)(int);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);
typedef int (*tcgetattr_fn)(int, struct termios*);

static struct cable_table* mapped;
static int tried;

/* The table, mapped at the first modem request. */
static struct cable_table* table(void) {
    if (__atomic_load_n(&tried, __ATOMIC_ACQUIRE)) return __atomic_load_n(&mapped, __ATOMIC_ACQUIRE);
    const char* file = getenv("NR_NULLMODEM_STATE");
    struct cable_table* t = (file && *file) ? cable_map(file, NULL) : NULL;
    struct cable_table* none = NULL;
    /* Two threads racing here both map it; one mapping is kept, and the
     * other stays mapped unused (it is the same small file). */
    if (!__atomic_compare_exchange_n(&mapped, &none, t, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) t = none;
    __atomic_store_n(&tried, 1, __ATOMIC_RELEASE);
    return t;
}

static int fd_path(int fd, char path[CABLE_PATH]) {
    char link[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, CABLE_PATH - 1);
    if (n <= 0) return -1;
    path[n] = 0;
    return 0;
}

static int is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

/* Answers a modem request on a cable end, as a tty driver would. */
static int answer(struct cable_table* t, int fd, unsigned long request, struct cable_ref ref, void* arg) {
    /* The other end's process is gone (socat was killed): the device was
     * removed, and its driver fails every request, as a pty then does. */
    struct pollfd p = {.fd = fd, .events = 0, .revents = 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & POLLHUP)) {
        errno = EIO;
        return -1;
    }
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    if (request == TIOCMGET)
        *(int*)arg = (int)cable_lines(t, ref);
    else
        cable_set_outputs(t, ref, request, (uint32_t) * (const int*)arg, (uint32_t)getpid());
    return 0;
}

static void* next(const char* name, void** slot) {
    void* f = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!f) {
        f = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

static struct cable_table* end_of(int fd, struct cable_ref* ref);
static int termios_request(struct cable_table* t, struct cable_ref ref, ioctl_fn f, int fd, unsigned long request,
                           void* arg);
static size_t termios_size(unsigned long request);

static int dispatch(const char* name, void** slot, int fd, unsigned long request, void* arg) {
    ioctl_fn f = (ioctl_fn)next(name, slot);
    if (!f) {
        errno = ENOSYS;
        return -1;
    }
    struct cable_ref ref;
    struct cable_table* t;
    /* A break on (TIOCSBRK) or a timed one (TCSBRK with 0, tcsendbreak). */
    const int brk = request == TIOCSBRK || ((request == TCSBRK || request == TCSBRKP) && !arg);
    if (brk && (t = end_of(fd, &ref))) cable_note_break(t, ref);
    if (!(is_modem_request(request) || termios_size(request)) || !(t = end_of(fd, &ref))) return f(fd, request, arg);
    return is_modem_request(request) ? answer(t, fd, request, ref, arg) : termios_request(t, ref, f, fd, request, arg);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    static void* real;
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return dispatch("ioctl", &real, fd, request, arg);
}

#if defined(__i386__)
int __ioctl_time64(int fd, unsigned long request, ...);

EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
    static void* real;
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return dispatch("__ioctl_time64", &real, fd, request, arg);
}
#endif

/* Whether this process still has a descriptor of PATH. */
static int still_open(const char* path) {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return 1;
    const int own = dirfd(d);
    int found = 0;
    char other[CABLE_PATH];
    for (struct dirent* e; !found && (e = readdir(d));) {
        const int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == own) continue;
        found = fd_path(fd, other) == 0 && strcmp(other, path) == 0;
    }
    closedir(d);
    return found;
}

/* Only a process that has used the cable can hold outputs on it. */
EXPORT int close(int fd) {
    static void* real;
    close_fn f = (close_fn)next("close", &real);
    struct cable_table* t = __atomic_load_n(&mapped, __ATOMIC_ACQUIRE);
    char path[CABLE_PATH];
    struct cable_ref ref;
    const int ours = t && fd_path(fd, path) == 0 && cable_find(t, path, &ref) == 0;
    const int rc = f ? f(fd) : (errno = ENOSYS, -1);
    if (ours && rc == 0) {
        const int saved = errno;
        if (!still_open(path)) cable_release(t, ref, (uint32_t)getpid());
        errno = saved;
    }
    return rc;
}

/* The rate of a termios speed code; 0 for B0 and codes not listed. */
static uint32_t baud_of(speed_t code) {
    static const struct {
        speed_t code;
        uint32_t baud;
    } rates[] = {
        {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
        {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
        {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
        {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
        {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000}};
    for (size_t i = 0; i < sizeof rates / sizeof rates[0]; ++i)
        if (rates[i].code == code) return rates[i].baud;
    return 0;
}

static uint32_t settings_of(tcflag_t c, uint32_t baud) {
    const uint32_t data = (c & CSIZE) == CS5 ? 5 : (c & CSIZE) == CS6 ? 6 : (c & CSIZE) == CS7 ? 7 : 8;
    uint32_t parity = 0;
    if (c & PARENB) parity = (c & CMSPAR) ? ((c & PARODD) ? 3 : 4) : ((c & PARODD) ? 1 : 2);
    return (baud & CABLE_SET_BAUD) | data << CABLE_SET_DATA_SHIFT | parity << CABLE_SET_PARITY_SHIFT |
           ((c & CSTOPB) ? CABLE_SET_TWO_STOP : 0);
}

#define FRAME_BITS (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB)

static tcflag_t frame_of(uint32_t s) {
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const uint32_t data = (s >> CABLE_SET_DATA_SHIFT) & 0xf, parity = (s >> CABLE_SET_PARITY_SHIFT) & 7;
    tcflag_t c = data >= 5 && data <= 8 ? sizes[data - 5] : CS8;
    if (parity) c |= PARENB | (parity == 1 || parity == 3 ? PARODD : 0) | (parity >= 3 ? CMSPAR : 0);
    return c | ((s & CABLE_SET_TWO_STOP) ? CSTOPB : 0);
}

/* What the pty is given, and what a program reads back: the frame kept. */
static tcflag_t pty_frame(tcflag_t c) { return (c & ~(tcflag_t)(CSIZE | PARENB)) | CS8; }
static tcflag_t kept_frame(tcflag_t c, uint32_t s) { return (c & ~(tcflag_t)FRAME_BITS) | frame_of(s); }

/* The cable end behind FD, if any (errno kept). */
static struct cable_table* end_of(int fd, struct cable_ref* ref) {
    const int saved = errno;
    struct cable_table* t = table();
    char path[CABLE_PATH];
    if (t && (fd_path(fd, path) != 0 || cable_find(t, path, ref) != 0)) t = NULL;
    errno = saved;
    return t;
}

/* A pty holds 8 data bits without parity only (and glibc reports any
 * other frame as refused); a serial driver takes any frame. A cable end
 * takes it as a driver would: the pty gets what it can hold, the cable notes
 * what was asked, and tcgetattr gives that back, so a program that reads,
 * changes and writes its settings keeps its frame too. */
EXPORT int tcsetattr(int fd, int action, const struct termios* t) {
    static void* real;
    tcsetattr_fn f = (tcsetattr_fn)next("tcsetattr", &real);
    if (!f) {
        errno = ENOSYS;
        return -1;
    }
    struct cable_ref ref;
    struct cable_table* tab = t ? end_of(fd, &ref) : NULL;
    if (!tab) return f(fd, action, t);
    struct termios held = *t;
    held.c_cflag = pty_frame(held.c_cflag);
    const int rc = f(fd, action, &held);
    if (rc == 0) cable_note_settings(tab, ref, settings_of(t->c_cflag, baud_of(cfgetospeed(t))));
    return rc;
}

EXPORT int tcgetattr(int fd, struct termios* t) {
    static void* real;
    tcgetattr_fn f = (tcgetattr_fn)next("tcgetattr", &real);
    const int rc = f ? f(fd, t) : (errno = ENOSYS, -1);
    struct cable_ref ref;
    struct cable_table* tab;
    uint32_t s;
    if (rc == 0 && t && (tab = end_of(fd, &ref)) && cable_settings(tab, ref, &s, 1) == 1)
        t->c_cflag = kept_frame(t->c_cflag, s);
    return rc;
}

/* The kernel's termios2 (asm/termbits.h, which cannot be included beside
 * termios.h); its termios is the same without the two rates. */
struct kernel_termios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
#define KERNEL_TERMIOS_SIZE offsetof(struct kernel_termios2, c_ispeed)
#define KERNEL_BOTHER 0010000 /* the rate is c_ospeed itself */

/* The size of a bare termios request's argument; 0 for other requests. */
static size_t termios_size(unsigned long request) {
    switch (request) {
        case TCGETS:
        case TCSETS:
        case TCSETSW:
        case TCSETSF: return KERNEL_TERMIOS_SIZE;
        case _IOR('T', 0x2A, struct kernel_termios2): /* TCGETS2 */
        case _IOW('T', 0x2B, struct kernel_termios2): /* TCSETS2 */
        case _IOW('T', 0x2C, struct kernel_termios2): /* TCSETSW2 */
        case _IOW('T', 0x2D, struct kernel_termios2): /* TCSETSF2 */ return sizeof(struct kernel_termios2);
        default: return 0;
    }
}

/* A bare termios request on a cable end, taken as tcsetattr and tcgetattr
 * above take theirs. */
static int termios_request(struct cable_table* t, struct cable_ref ref, ioctl_fn f, int fd, unsigned long request,
                           void* arg) {
    const size_t size = termios_size(request);
    struct kernel_termios2 k;
    uint32_t s;
    if (!arg) return f(fd, request, arg);
    if (request == TCGETS || request == _IOR('T', 0x2A, struct kernel_termios2)) {
        const int rc = f(fd, request, arg);
        struct kernel_termios2* got = arg;
        if (rc == 0 && cable_settings(t, ref, &s, 1) == 1) got->c_cflag = kept_frame(got->c_cflag, s);
        return rc;
    }
    memcpy(&k, arg, size);
    const tcflag_t code = k.c_cflag & CBAUD;
    const uint32_t own = size == sizeof k ? k.c_ospeed : 0;
    s = settings_of(k.c_cflag, code == KERNEL_BOTHER ? own : baud_of(code));
    k.c_cflag = pty_frame(k.c_cflag);
    const int rc = f(fd, request, &k);
    if (rc == 0) cable_note_settings(t, ref, s);
    return rc;
}

/* Wine's ports take their lines from the program's settings (SetCommState,
 * EscapeCommFunction), so an open by Wine, or by its server, which opens
 * files for it, leaves them as they are. */
static int wine_process(void) {
    static int known; /* 1 Wine, 2 not */
    int k = __atomic_load_n(&known, __ATOMIC_RELAXED);
    if (k) return k == 1;
    char exe[256];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = 0;
    const char* base = strrchr(exe, '/');
    k = strncmp(base ? base + 1 : exe, "wine", 4) == 0 ? 1 : 2;
    __atomic_store_n(&known, k, __ATOMIC_RELAXED);
    return k == 1;
}

/* FD was just opened: a cable end's first open raises its DTR and RTS. */
static int opened(int fd, int flags) {
    const int saved = errno;
    struct stat st;
    struct cable_ref ref;
    struct cable_table* t;
    if (fd >= 0 && !(flags & O_PATH) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && !wine_process() &&
        (t = end_of(fd, &ref)))
        cable_open(t, ref, (uint32_t)getpid());
    errno = saved;
    return fd;
}

static int needs_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open2_fn)(const char*, int);
typedef int (*openat2_fn)(int, const char*, int);

/* The C library's open functions, each as it is declared; the fortified
 * ones (__open_2 ...) take no mode. */
#define WRAP_OPEN(name)                                                        \
    EXPORT int name(const char* path, int flags, ...) {                        \
        static void* real;                                                     \
        va_list ap;                                                            \
        va_start(ap, flags);                                                   \
        const mode_t mode = needs_mode(flags) ? va_arg(ap, mode_t) : 0;        \
        va_end(ap);                                                            \
        open_fn f = (open_fn)next(#name, &real);                               \
        return f ? opened(f(path, flags, mode), flags) : (errno = ENOSYS, -1); \
    }
#define WRAP_OPENAT(name)                                                           \
    EXPORT int name(int dir, const char* path, int flags, ...) {                    \
        static void* real;                                                          \
        va_list ap;                                                                 \
        va_start(ap, flags);                                                        \
        const mode_t mode = needs_mode(flags) ? va_arg(ap, mode_t) : 0;             \
        va_end(ap);                                                                 \
        openat_fn f = (openat_fn)next(#name, &real);                                \
        return f ? opened(f(dir, path, flags, mode), flags) : (errno = ENOSYS, -1); \
    }
#define WRAP_OPEN2(name)                                                 \
    int name(const char* path, int flags);                               \
    EXPORT int name(const char* path, int flags) {                       \
        static void* real;                                               \
        open2_fn f = (open2_fn)next(#name, &real);                       \
        return f ? opened(f(path, flags), flags) : (errno = ENOSYS, -1); \
    }
#define WRAP_OPENAT2(name)                                                    \
    int name(int dir, const char* path, int flags);                           \
    EXPORT int name(int dir, const char* path, int flags) {                   \
        static void* real;                                                    \
        openat2_fn f = (openat2_fn)next(#name, &real);                        \
        return f ? opened(f(dir, path, flags), flags) : (errno = ENOSYS, -1); \
    }

WRAP_OPEN(open)
WRAP_OPEN(open64)
WRAP_OPENAT(openat)
WRAP_OPENAT(openat64)
WRAP_OPEN2(__open_2)
WRAP_OPEN2(__open64_2)
WRAP_OPENAT2(__openat_2)
WRAP_OPENAT2(__openat64_2)
