/* The cable table shared by the preload library and the tool. */
#include "cable.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static uint32_t load(const uint32_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }

struct cable_table* cable_map(const char* file, int* fd_out) {
    int fd = open(file, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return NULL;
    struct stat st;
    /* Growing a new file zero-fills it: an empty table. Several processes
     * may do it at once; they all grow it to the same size. */
    if (fstat(fd, &st) != 0 ||
        (st.st_size < (off_t)sizeof(struct cable_file) && ftruncate(fd, sizeof(struct cable_file)) != 0)) {
        close(fd);
        return NULL;
    }
    void* m = mmap(NULL, sizeof(struct cable_file), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) {
        close(fd);
        return NULL;
    }
    struct cable_table* t = m;
    uint32_t none = 0;
    __atomic_compare_exchange_n(&t->magic, &none, CABLE_MAGIC, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    if (load(&t->magic) != CABLE_MAGIC) {
        munmap(m, sizeof(struct cable_file));
        close(fd);
        errno = EPROTO;
        return NULL;
    }
    if (fd_out)
        *fd_out = fd;
    else
        close(fd);
    return t;
}

static int in_use(const struct cable_pair* p) { return __atomic_load_n(&p->end[0].path[0], __ATOMIC_RELAXED) != 0; }

/* Reads a pair's two paths consistently; 0 when it is in use. A rewrite takes
 * a few stores; one that never ends (its writer was killed) reads as free. */
static int read_paths(const struct cable_pair* p, char a[CABLE_PATH], char b[CABLE_PATH]) {
    for (int tries = 0; tries < 10000; ++tries) {
        const uint32_t s = load(&p->seq);
        if (s & 1) continue;
        memcpy(a, p->end[0].path, CABLE_PATH);
        memcpy(b, p->end[1].path, CABLE_PATH);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (load(&p->seq) == s) return a[0] ? 0 : -1;
    }
    return -1;
}

static int same(const char stored[CABLE_PATH], const char* path) {
    return strncmp(stored, path, CABLE_PATH) == 0 && stored[CABLE_PATH - 1] == 0;
}

int cable_find(const struct cable_table* t, const char* path, struct cable_ref* ref) {
    char a[CABLE_PATH], b[CABLE_PATH];
    for (int i = 0; i < CABLE_PAIRS; ++i) {
        if (!in_use(&t->pair[i]) || read_paths(&t->pair[i], a, b) != 0) continue;
        if (same(a, path) || same(b, path)) {
            ref->pair = i;
            ref->side = same(a, path) ? 0 : 1;
            return 0;
        }
    }
    return -1;
}

static int gone(uint32_t pid) {
    const int saved = errno;
    const int dead = kill((pid_t)pid, 0) != 0 && errno == ESRCH;
    errno = saved;
    return dead;
}

/* The outputs of an end, off once the process that set them has ended. */
static uint32_t outputs(const struct cable_end* e) {
    const uint32_t out = load(&e->out) & CABLE_OUTPUTS;
    const uint32_t owner = load(&e->owner);
    return out && owner && gone(owner) ? 0 : out;
}

uint32_t cable_lines(const struct cable_table* t, struct cable_ref ref) {
    const struct cable_end* me = &t->pair[ref.pair].end[ref.side];
    const uint32_t peer = outputs(&t->pair[ref.pair].end[1 - ref.side]);
    uint32_t in = 0;
    if (peer & TIOCM_DTR) in |= TIOCM_DSR | TIOCM_CD;
    if (peer & TIOCM_RTS) in |= TIOCM_CTS;
    in = (in | load(&me->force_on)) & ~load(&me->force_off);
    return outputs(me) | (in & CABLE_INPUTS);
}

void cable_set_outputs(struct cable_table* t, struct cable_ref ref, unsigned long request, uint32_t bits,
                       uint32_t pid) {
    struct cable_end* e = &t->pair[ref.pair].end[ref.side];
    uint32_t* out = &e->out;
    bits &= CABLE_OUTPUTS;
    /* Outputs left by an owner that has ended start from off. */
    if (load(&e->owner) != pid) {
        if (outputs(e) == 0) __atomic_store_n(out, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&e->owner, pid, __ATOMIC_RELEASE);
    }
    if (request == TIOCMSET)
        __atomic_store_n(out, bits, __ATOMIC_RELEASE);
    else if (request == TIOCMBIS)
        __atomic_fetch_or(out, bits, __ATOMIC_ACQ_REL);
    else if (request == TIOCMBIC)
        __atomic_fetch_and(out, ~bits, __ATOMIC_ACQ_REL);
}

/* The settings part of a table mapped by cable_map. */
static struct cable_line* line_of(const struct cable_table* t, struct cable_ref ref) {
    struct cable_file* f = (struct cable_file*)t;
    return &f->line[ref.pair][ref.side];
}

void cable_note_settings(struct cable_table* t, struct cable_ref ref, uint32_t settings) {
    struct cable_line* l = line_of(t, ref);
    /* One process drives an end's settings: the slot is filled before the
     * count that shows it. */
    const uint32_t n = load(&l->count);
    if (n && load(&l->set[(n - 1) % CABLE_HISTORY]) == settings) return;
    __atomic_store_n(&l->set[n % CABLE_HISTORY], settings, __ATOMIC_RELAXED);
    __atomic_store_n(&l->count, n + 1, __ATOMIC_RELEASE);
}

void cable_note_break(struct cable_table* t, struct cable_ref ref) {
    __atomic_fetch_add(&t->pair[ref.pair].breaks[ref.side], 1, __ATOMIC_RELAXED);
}

int cable_settings(const struct cable_table* t, struct cable_ref ref, uint32_t* out, int max) {
    struct cable_line* l = line_of(t, ref);
    const uint32_t n = load(&l->count);
    int got = 0;
    for (uint32_t i = n; i > 0 && got < max && n - i < CABLE_HISTORY; --i)
        out[got++] = load(&l->set[(i - 1) % CABLE_HISTORY]);
    return got;
}

void cable_format_settings(uint32_t s, char* buf, unsigned size) {
    static const char parity[] = "NOEMS";
    const unsigned p = (s >> CABLE_SET_PARITY_SHIFT) & 7;
    snprintf(buf, size, "%u/%u%c%c", s & CABLE_SET_BAUD, (s >> CABLE_SET_DATA_SHIFT) & 0xf, p < 5 ? parity[p] : '?',
             (s & CABLE_SET_TWO_STOP) ? '2' : '1');
}

void cable_release(struct cable_table* t, struct cable_ref ref, uint32_t pid) {
    struct cable_end* e = &t->pair[ref.pair].end[ref.side];
    if (load(&e->owner) != pid) return;
    __atomic_store_n(&e->out, 0, __ATOMIC_RELEASE);
    /* Ownerless, the port counts as closed: the next open raises the lines. */
    __atomic_store_n(&e->owner, 0, __ATOMIC_RELEASE);
}

void cable_open(struct cable_table* t, struct cable_ref ref, uint32_t pid) {
    const uint32_t owner = load(&t->pair[ref.pair].end[ref.side].owner);
    if (owner && !gone(owner)) return;
    cable_set_outputs(t, ref, TIOCMBIS, CABLE_OUTPUTS, pid);
}

void cable_force(struct cable_table* t, struct cable_ref ref, uint32_t lines, int how) {
    struct cable_end* e = &t->pair[ref.pair].end[ref.side];
    lines &= CABLE_INPUTS;
    if (how <= 0) __atomic_fetch_and(&e->force_on, ~lines, __ATOMIC_ACQ_REL);
    if (how >= 0) __atomic_fetch_and(&e->force_off, ~lines, __ATOMIC_ACQ_REL);
    if (how > 0) __atomic_fetch_or(&e->force_on, lines, __ATOMIC_ACQ_REL);
    if (how < 0) __atomic_fetch_or(&e->force_off, lines, __ATOMIC_ACQ_REL);
}

int cable_lock(int fd) {
    while (flock(fd, LOCK_EX) != 0)
        if (errno != EINTR) return -1;
    return 0;
}

void cable_unlock(int fd) { flock(fd, LOCK_UN); }

/* Rewrites pair I (under the lock): readers see either the old or the new
 * entry. The count is made odd rather than incremented, so a rewrite cut
 * short by a killed tool is mended by the next one. */
static void rewrite(struct cable_table* t, int i, const char* a, const char* b) {
    struct cable_pair* p = &t->pair[i];
    __atomic_store_n(&p->seq, load(&p->seq) | 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    for (int s = 0; s < 2; ++s) {
        const char* path = s ? b : a;
        struct cable_end* e = &p->end[s];
        memset(e->path, 0, CABLE_PATH);
        if (path) memcpy(e->path, path, strlen(path));
        __atomic_store_n(&e->out, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&e->force_on, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&e->force_off, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&e->owner, 0, __ATOMIC_RELAXED);
        __atomic_store_n(&p->breaks[s], 0, __ATOMIC_RELAXED);
        struct cable_ref r = {i, s};
        memset(line_of(t, r), 0, sizeof(struct cable_line));
    }
    __atomic_fetch_add(&p->seq, 1, __ATOMIC_ACQ_REL);
}

int cable_unplug(struct cable_table* t, const char* path) {
    struct cable_ref r;
    int found = -1;
    /* A tty is never on two cables; looping also clears damaged leftovers. */
    while (cable_find(t, path, &r) == 0) {
        rewrite(t, r.pair, NULL, NULL);
        found = 0;
    }
    return found;
}

int cable_plug(struct cable_table* t, const char* a, const char* b) {
    if (strlen(a) >= CABLE_PATH || strlen(b) >= CABLE_PATH || !a[0] || !b[0]) {
        errno = ENAMETOOLONG;
        return -1;
    }
    cable_unplug(t, a);
    cable_unplug(t, b);
    /* Pairs whose ttys are gone were left by a plugger that was killed. */
    for (int i = 0; i < CABLE_PAIRS; ++i) {
        const struct cable_end* e = t->pair[i].end;
        if (in_use(&t->pair[i]) && access(e[0].path, F_OK) != 0 && access(e[1].path, F_OK) != 0)
            rewrite(t, i, NULL, NULL);
    }
    for (int i = 0; i < CABLE_PAIRS; ++i) {
        if (!in_use(&t->pair[i])) {
            rewrite(t, i, a, b);
            return 0;
        }
    }
    errno = ENOSPC;
    return -1;
}
