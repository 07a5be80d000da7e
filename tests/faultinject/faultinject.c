/* A preloadable library that makes chosen system calls of a process fail.
 *
 * Built by the test suite only (never installed) and loaded with
 * LD_PRELOAD, it interposes the calls the module makes: open, stat, fstat,
 * pread (and preadv2), read, close, mmap, pthread_create, syscall (for
 * io_uring_setup and io_uring_enter) and C++'s operator new, forwarding
 * each to the next definition (dlsym(RTLD_NEXT)) unless a rule says it
 * must fail.
 *
 * Rules are written as "key=value,key=value", several separated by ';',
 * and are armed at load from FAULTINJECT_RULES or later through
 * fi_arm(spec) (ctypes), which first disarms and resets every counter:
 *
 *   call=NAME    open, stat, fstat, pread (pread and preadv2), preadv2
 *                (preadv2 alone), read, close, mmap,
 *                pthread_create, io_uring_setup, io_uring_enter,
 *                io_uring_register,
 *                completion (a read's result on an io_uring ring, as
 *                io_uring_enter returns with it: the read fails with the
 *                errno; only completions of more than 8 bytes are counted,
 *                an eventfd's read being 8), or new
 *                (C++'s operator new, which then throws std::bad_alloc;
 *                the interpreter, being C, never calls it) (required).
 *                Under AddressSanitizer, whose operator new would be found
 *                first, preload this library ahead of the sanitizer's
 *                runtime (with ASAN_OPTIONS=verify_asan_link_order=0)
 *   errno=E      EIO, EINTR, ENOMEM, EAGAIN, EMFILE, ... or a number
 *                (default EIO)
 *   nth=N        the Nth matching call after arming is the first to fail
 *                (default 1)
 *   count=K      how many matching calls fail from the Nth on; 0 means all
 *                of them (default 1)
 *   fd=F         only calls on descriptor F (pread, preadv2, read, fstat,
 *                close, mmap, io_uring_enter)
 *   offset=O     only calls at file offset O (pread, preadv2, mmap)
 *   path=TEXT    only calls whose path contains TEXT (open, stat)
 *   tid=T        only calls made by the thread whose kernel id is T
 *   after=1      io_uring_enter only: the entries reach the kernel first,
 *                then the call reports the error (an interrupted wait)
 *   partial=1    io_uring_enter: the kernel takes only half of the
 *                entries (rounded down) and the call succeeds, as when it
 *                runs short of resources; completion: the read returns
 *                only the first half of its bytes (a short read); no errno
 *   delay=US     the call does not fail: it is made after a sleep of US
 *                microseconds, as on a slow device; no errno
 *
 * A close chosen to fail still releases the descriptor before it reports
 * the error, as Linux does. Anonymous mappings are never counted (the
 * interpreter's allocator makes them; memory exhaustion is tested with
 * address-space limits instead). Rules must not be re-armed while the
 * calls they match are running on other threads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum kind {
  K_OPEN,
  K_STAT,
  K_FSTAT,
  K_PREAD,
  K_READ,
  K_CLOSE,
  K_MMAP,
  K_PTHREAD_CREATE,
  K_URING_SETUP,
  K_URING_ENTER,
  K_NEW,
  K_PREADV2,
  K_COMPLETION,
  K_URING_REGISTER,
  K_COUNT
};

static const char* const kind_names[K_COUNT] = {"open",
                                                "stat",
                                                "fstat",
                                                "pread",
                                                "read",
                                                "close",
                                                "mmap",
                                                "pthread_create",
                                                "io_uring_setup",
                                                "io_uring_enter",
                                                "new",
                                                "preadv2",
                                                "completion",
                                                "io_uring_register"};

enum {
  SYS_URING_SETUP = 425,
  SYS_URING_ENTER = 426,
  SYS_URING_REGISTER = 427,
  MAX_RULES = 4
};

struct rule {
  int kind;
  int err;
  long nth;
  long count;
  int has_fd;
  long fd;
  int has_offset;
  long long offset;
  long tid;
  int after;
  int partial;
  long delay_us;
  char path[256];
  long seen;     /* matching calls since arming (atomic) */
  long injected; /* failures made (atomic) */
};

static struct rule rules[MAX_RULES];
static int rule_count;
static int armed;             /* atomic; rules are written only while it is 0 */
static __thread int bypassed; /* this thread's calls are never counted */

/* ---- the real functions ------------------------------------------------ */

static void* resolve(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (fn == NULL) fn = dlvsym(RTLD_NEXT, name, "GLIBC_2.2.5");
  if (fn == NULL) {
    /* The C++ runtime comes with the extension module, loaded locally,
     * so it is not among the objects after this one. */
    void* cxx = dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD);
    if (cxx != NULL) fn = dlsym(cxx, name);
  }
  if (fn == NULL) {
    static const char msg[] = "faultinject: a real function is missing\n";
    ssize_t ignored = write(2, msg, sizeof msg - 1);
    (void)ignored;
    abort();
  }
  return fn;
}

/* Resolved on first use (a call may arrive before the constructor runs);
 * racing threads store the same pointer. dlsym's object pointer becomes a
 * function pointer through memcpy, the conversion POSIX guarantees. */
#define REAL(type, name)                               \
  static type real_##name(void) {                      \
    static type fn;                                    \
    type got = __atomic_load_n(&fn, __ATOMIC_RELAXED); \
    if (got == NULL) {                                 \
      void* sym = resolve(#name);                      \
      memcpy(&got, &sym, sizeof got);                  \
      __atomic_store_n(&fn, got, __ATOMIC_RELAXED);    \
    }                                                  \
    return got;                                        \
  }

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*stat_fn)(const char*, struct stat*);
typedef int (*stat64_fn)(const char*, struct stat64*);
typedef int (*fstat_fn)(int, struct stat*);
typedef int (*fstat64_fn)(int, struct stat64*);
typedef int (*xstat_fn)(int, const char*, struct stat*);
typedef int (*xstat64_fn)(int, const char*, struct stat64*);
typedef int (*fxstat_fn)(int, int, struct stat*);
typedef int (*fxstat64_fn)(int, int, struct stat64*);
typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef ssize_t (*preadv2_fn)(int, const struct iovec*, int, off_t, int);
typedef int (*close_fn)(int);
typedef void* (*mmap_fn)(void*, size_t, int, int, int, off_t);
typedef int (*pthread_create_fn)(pthread_t*, const pthread_attr_t*,
                                 void* (*)(void*), void*);
typedef long (*syscall_fn)(long, ...);
typedef void* (*new_fn)(size_t);
typedef void* (*new_aligned_fn)(size_t, size_t);

REAL(open_fn, open)
REAL(open_fn, open64)
REAL(openat_fn, openat)
REAL(openat_fn, openat64)
REAL(stat_fn, stat)
REAL(stat64_fn, stat64)
REAL(fstat_fn, fstat)
REAL(fstat64_fn, fstat64)
REAL(xstat_fn, __xstat)
REAL(xstat64_fn, __xstat64)
REAL(fxstat_fn, __fxstat)
REAL(fxstat64_fn, __fxstat64)
REAL(pread_fn, pread)
REAL(pread_fn, pread64)
REAL(preadv2_fn, preadv2)
REAL(preadv2_fn, preadv64v2)
REAL(read_fn, read)
REAL(close_fn, close)
REAL(mmap_fn, mmap)
REAL(mmap_fn, mmap64)
REAL(pthread_create_fn, pthread_create)
REAL(syscall_fn, syscall)
REAL(new_fn, _Znwm)
REAL(new_fn, _Znam)
REAL(new_aligned_fn, _ZnwmSt11align_val_t)
REAL(new_aligned_fn, _ZnamSt11align_val_t)

/* ---- matching ---------------------------------------------------------- */

/* Whether this call must fail; sets *err and *after when it must. Never
 * touches errno. `fd` or `offset` is -1 when the call has none. */
static int should_fail(int kind, long fd, long long offset, const char* path,
                       int* err, int* after, int* partial) {
  if (bypassed || !__atomic_load_n(&armed, __ATOMIC_ACQUIRE)) return 0;
  for (int i = 0; i < rule_count; ++i) {
    struct rule* r = &rules[i];
    if (r->kind != kind) continue;
    if (r->has_fd && fd != r->fd) continue;
    if (r->has_offset && offset != r->offset) continue;
    if (r->path[0] != '\0' && (path == NULL || strstr(path, r->path) == NULL))
      continue;
    if (r->tid != 0 && r->tid != (long)gettid()) continue;
    const long n = __atomic_add_fetch(&r->seen, 1, __ATOMIC_RELAXED);
    if (n < r->nth) continue;
    if (r->count != 0 && n >= r->nth + r->count) continue;
    __atomic_add_fetch(&r->injected, 1, __ATOMIC_RELAXED);
    if (r->delay_us > 0) {
      /* A slow call, not a failed one; errno is left as it was. */
      const int saved = errno;
      struct timespec ts = {r->delay_us / 1000000,
                            r->delay_us % 1000000 * 1000};
      while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
      }
      errno = saved;
      return 0;
    }
    *err = r->err;
    if (after != NULL) *after = r->after;
    if (partial != NULL) *partial = r->partial;
    return 1;
  }
  return 0;
}

#define FAIL_IF(kind, fd, offset, path, failed_value)                     \
  do {                                                                    \
    int err_;                                                             \
    if (should_fail((kind), (fd), (offset), (path), &err_, NULL, NULL)) { \
      errno = err_;                                                       \
      return (failed_value);                                              \
    }                                                                     \
  } while (0)

/* ---- io_uring completions ---------------------------------------------- */

/* The rings the process made, found from io_uring_setup's parameters and
 * the mapping of their completion queue, so that "completion" rules can
 * rewrite a read's result after the kernel posted it and before the caller
 * reads it. A ring's completions are looked at once, when an io_uring_enter
 * on it returns; those its owner took before then are left alone. */
enum { MAX_RINGS = 64 };
struct ring {
  int fd; /* -1: a free entry */
  struct io_uring_params params;
  unsigned char* cq; /* the mapping holding the completion queue */
  unsigned cursor;   /* completions before this one were looked at */
};
static struct ring rings[MAX_RINGS];
static int ring_count;
static pthread_mutex_t rings_mu = PTHREAD_MUTEX_INITIALIZER;

static struct ring* ring_of(int fd) {
  for (int i = 0; i < ring_count; ++i) {
    if (rings[i].fd == fd) return &rings[i];
  }
  return NULL;
}

static void ring_made(int fd, const struct io_uring_params* params) {
  pthread_mutex_lock(&rings_mu);
  struct ring* r = ring_of(-1);
  if (r == NULL && ring_count < MAX_RINGS) r = &rings[ring_count++];
  if (r != NULL) {
    r->fd = fd;
    r->params = *params;
    r->cq = NULL;
    r->cursor = 0;
  }
  pthread_mutex_unlock(&rings_mu);
}

static void ring_mapped(int fd, off_t offset, void* at) {
  if (at == MAP_FAILED) return;
  pthread_mutex_lock(&rings_mu);
  struct ring* r = ring_of(fd);
  if (r != NULL &&
      (offset == (off_t)IORING_OFF_CQ_RING ||
       (offset == (off_t)IORING_OFF_SQ_RING &&
        (r->params.features & IORING_FEAT_SINGLE_MMAP) != 0 && r->cq == NULL)))
    r->cq = at;
  pthread_mutex_unlock(&rings_mu);
}

static void ring_closed(int fd) {
  pthread_mutex_lock(&rings_mu);
  struct ring* r = ring_of(fd);
  if (r != NULL) r->fd = -1;
  pthread_mutex_unlock(&rings_mu);
}

static int completion_rules(void) {
  if (!__atomic_load_n(&armed, __ATOMIC_ACQUIRE)) return 0;
  for (int i = 0; i < rule_count; ++i) {
    if (rules[i].kind == K_COMPLETION) return 1;
  }
  return 0;
}

static void rewrite_completions(int fd) {
  pthread_mutex_lock(&rings_mu);
  struct ring* r = ring_of(fd);
  if (r != NULL && r->cq != NULL) {
    const struct io_cqring_offsets* off = &r->params.cq_off;
    const unsigned head =
        __atomic_load_n((unsigned*)(r->cq + off->head), __ATOMIC_ACQUIRE);
    const unsigned tail =
        __atomic_load_n((unsigned*)(r->cq + off->tail), __ATOMIC_ACQUIRE);
    const unsigned mask = *(unsigned*)(r->cq + off->ring_mask);
    struct io_uring_cqe* cqes = (struct io_uring_cqe*)(r->cq + off->cqes);
    unsigned i = (int)(head - r->cursor) > 0 ? head : r->cursor;
    for (; i != tail; ++i) {
      struct io_uring_cqe* c = &cqes[i & mask];
      int err = 0;
      int partial = 0;
      if (c->res <= 8 ||
          !should_fail(K_COMPLETION, fd, -1, NULL, &err, NULL, &partial))
        continue;
      c->res = partial ? c->res / 2 : -err;
    }
    r->cursor = tail;
  }
  pthread_mutex_unlock(&rings_mu);
}

/* ---- rule parsing ------------------------------------------------------- */

static const struct {
  const char* name;
  int value;
} errno_names[] = {
    {"EIO", EIO},
    {"EINTR", EINTR},
    {"ENOMEM", ENOMEM},
    {"EAGAIN", EAGAIN},
    {"EMFILE", EMFILE},
    {"ENFILE", ENFILE},
    {"ENOSYS", ENOSYS},
    {"EPERM", EPERM},
    {"EBADF", EBADF},
    {"EINVAL", EINVAL},
    {"ENOSPC", ENOSPC},
    {"EACCES", EACCES},
    {"EOPNOTSUPP", EOPNOTSUPP},
};

static int parse_long(const char* text, size_t len, long long* out) {
  char buf[32];
  if (len == 0 || len >= sizeof buf) return -1;
  memcpy(buf, text, len);
  buf[len] = '\0';
  char* end = NULL;
  errno = 0;
  const long long v = strtoll(buf, &end, 0);
  if (errno != 0 || *end != '\0') return -1;
  *out = v;
  return 0;
}

static int parse_errno(const char* text, size_t len, int* out) {
  for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; ++i) {
    if (strlen(errno_names[i].name) == len &&
        memcmp(errno_names[i].name, text, len) == 0) {
      *out = errno_names[i].value;
      return 0;
    }
  }
  long long v = 0;
  if (parse_long(text, len, &v) != 0 || v <= 0 || v > 4095) return -1;
  *out = (int)v;
  return 0;
}

/* One rule from "key=value,..." of length len. */
static int parse_rule(const char* text, size_t len, struct rule* r) {
  memset(r, 0, sizeof *r);
  r->kind = -1;
  r->err = EIO;
  r->nth = 1;
  r->count = 1;
  const char* end = text + len;
  while (text < end) {
    const char* comma = memchr(text, ',', (size_t)(end - text));
    const char* item_end = comma != NULL ? comma : end;
    const char* eq = memchr(text, '=', (size_t)(item_end - text));
    if (eq == NULL) return -1;
    const size_t klen = (size_t)(eq - text);
    const char* value = eq + 1;
    const size_t vlen = (size_t)(item_end - value);
    long long num = 0;
#define KEY(name) (klen == sizeof(name) - 1 && memcmp(text, name, klen) == 0)
    if (KEY("call")) {
      for (int k = 0; k < K_COUNT; ++k) {
        if (strlen(kind_names[k]) == vlen &&
            memcmp(kind_names[k], value, vlen) == 0) {
          r->kind = k;
        }
      }
      if (r->kind < 0) return -1;
    } else if (KEY("errno")) {
      if (parse_errno(value, vlen, &r->err) != 0) return -1;
    } else if (KEY("path")) {
      if (vlen == 0 || vlen >= sizeof r->path) return -1;
      memcpy(r->path, value, vlen);
      r->path[vlen] = '\0';
    } else {
      if (parse_long(value, vlen, &num) != 0) return -1;
      if (KEY("nth") && num >= 1) {
        r->nth = (long)num;
      } else if (KEY("count") && num >= 0) {
        r->count = (long)num;
      } else if (KEY("fd")) {
        r->has_fd = 1;
        r->fd = (long)num;
      } else if (KEY("offset")) {
        r->has_offset = 1;
        r->offset = num;
      } else if (KEY("tid") && num > 0) {
        r->tid = (long)num;
      } else if (KEY("after") && (num == 0 || num == 1)) {
        r->after = (int)num;
      } else if (KEY("partial") && (num == 0 || num == 1)) {
        r->partial = (int)num;
      } else if (KEY("delay") && num > 0) {
        r->delay_us = (long)num;
      } else {
        return -1;
      }
    }
#undef KEY
    text = item_end + (comma != NULL ? 1 : 0);
  }
  if (r->kind < 0) return -1;
  if (r->after && r->kind != K_URING_ENTER) return -1;
  if (r->partial && r->kind != K_URING_ENTER && r->kind != K_COMPLETION)
    return -1;
  if (r->after && r->partial) return -1;
  if (r->delay_us > 0 && (r->after || r->partial)) return -1;
  return 0;
}

/* ---- control, callable through ctypes ----------------------------------- */

EXPORT void fi_disarm(void) { __atomic_store_n(&armed, 0, __ATOMIC_RELEASE); }

/* Replaces every rule with those of `spec` and arms them; -1 (and
 * disarmed) when the spec does not parse. An empty spec only disarms. */
EXPORT int fi_arm(const char* spec) {
  fi_disarm();
  const int saved = errno;
  int n = 0;
  const char* p = spec;
  while (*p != '\0') {
    const char* semi = strchr(p, ';');
    const size_t len = semi != NULL ? (size_t)(semi - p) : strlen(p);
    if (len > 0) {
      if (n == MAX_RULES || parse_rule(p, len, &rules[n]) != 0) {
        rule_count = 0;
        errno = saved;
        return -1;
      }
      ++n;
    }
    p += len + (semi != NULL ? 1 : 0);
  }
  rule_count = n;
  errno = saved;
  if (n > 0) __atomic_store_n(&armed, 1, __ATOMIC_RELEASE);
  return 0;
}

/* While `on`, the calling thread's calls neither fail nor count: the test
 * harness reads /proc through them. */
EXPORT void fi_bypass(int on) { bypassed = on; }

/* Failures made since the last fi_arm. */
EXPORT long fi_injected(void) {
  long total = 0;
  for (int i = 0; i < rule_count; ++i)
    total += __atomic_load_n(&rules[i].injected, __ATOMIC_RELAXED);
  return total;
}

/* Failures made by rule i (in the order of the spec) since the last fi_arm. */
EXPORT long fi_rule_injected(int i) {
  if (i < 0 || i >= rule_count) return 0;
  return __atomic_load_n(&rules[i].injected, __ATOMIC_RELAXED);
}

/* Matching calls seen since the last fi_arm, failed or not. */
EXPORT long fi_seen(void) {
  long total = 0;
  for (int i = 0; i < rule_count; ++i)
    total += __atomic_load_n(&rules[i].seen, __ATOMIC_RELAXED);
  return total;
}

__attribute__((constructor)) static void fi_init(void) {
  const char* spec = getenv("FAULTINJECT_RULES");
  if (spec == NULL || *spec == '\0') return;
  if (fi_arm(spec) != 0) {
    fprintf(stderr, "faultinject: cannot parse FAULTINJECT_RULES=%s\n", spec);
    _exit(97);
  }
}

/* ---- the interposed calls ---------------------------------------------- */

static mode_t open_mode(int flags, va_list ap) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    return (mode_t)va_arg(ap, int);
  return 0;
}

EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = open_mode(flags, ap);
  va_end(ap);
  FAIL_IF(K_OPEN, -1, -1, path, -1);
  return real_open()(path, flags, mode);
}

EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = open_mode(flags, ap);
  va_end(ap);
  FAIL_IF(K_OPEN, -1, -1, path, -1);
  return real_open64()(path, flags, mode);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = open_mode(flags, ap);
  va_end(ap);
  FAIL_IF(K_OPEN, -1, -1, path, -1);
  return real_openat()(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = open_mode(flags, ap);
  va_end(ap);
  FAIL_IF(K_OPEN, -1, -1, path, -1);
  return real_openat64()(dirfd, path, flags, mode);
}

EXPORT int stat(const char* restrict path, struct stat* restrict buf) {
  FAIL_IF(K_STAT, -1, -1, path, -1);
  return real_stat()(path, buf);
}

EXPORT int stat64(const char* restrict path, struct stat64* restrict buf) {
  FAIL_IF(K_STAT, -1, -1, path, -1);
  return real_stat64()(path, buf);
}

EXPORT int fstat(int fd, struct stat* buf) {
  FAIL_IF(K_FSTAT, fd, -1, NULL, -1);
  return real_fstat()(fd, buf);
}

EXPORT int fstat64(int fd, struct stat64* buf) {
  FAIL_IF(K_FSTAT, fd, -1, NULL, -1);
  return real_fstat64()(fd, buf);
}

/* The entry points of C libraries older than 2.33, kept for binaries
 * built against them. */
EXPORT int __xstat(int ver, const char* path, struct stat* buf) {
  FAIL_IF(K_STAT, -1, -1, path, -1);
  return real___xstat()(ver, path, buf);
}

EXPORT int __xstat64(int ver, const char* path, struct stat64* buf) {
  FAIL_IF(K_STAT, -1, -1, path, -1);
  return real___xstat64()(ver, path, buf);
}

EXPORT int __fxstat(int ver, int fd, struct stat* buf) {
  FAIL_IF(K_FSTAT, fd, -1, NULL, -1);
  return real___fxstat()(ver, fd, buf);
}

EXPORT int __fxstat64(int ver, int fd, struct stat64* buf) {
  FAIL_IF(K_FSTAT, fd, -1, NULL, -1);
  return real___fxstat64()(ver, fd, buf);
}

EXPORT ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  FAIL_IF(K_PREAD, fd, (long long)offset, NULL, -1);
  return real_pread()(fd, buf, count, offset);
}

EXPORT ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
  FAIL_IF(K_PREAD, fd, (long long)offset, NULL, -1);
  return real_pread64()(fd, buf, count, offset);
}

/* Vectored positional reads (the row fetch's try of the page cache with
 * RWF_NOWAIT) match rules for preadv2 and, like any positional read, for
 * pread. */
static int preadv2_fails(int fd, off_t offset) {
  int err;
  if (should_fail(K_PREADV2, fd, (long long)offset, NULL, &err, NULL, NULL) ||
      should_fail(K_PREAD, fd, (long long)offset, NULL, &err, NULL, NULL)) {
    errno = err;
    return 1;
  }
  return 0;
}

EXPORT ssize_t preadv2(int fd, const struct iovec* iov, int iovcnt,
                       off_t offset, int flags) {
  if (preadv2_fails(fd, offset)) return -1;
  return real_preadv2()(fd, iov, iovcnt, offset, flags);
}

EXPORT ssize_t preadv64v2(int fd, const struct iovec* iov, int iovcnt,
                          off_t offset, int flags) {
  if (preadv2_fails(fd, offset)) return -1;
  return real_preadv64v2()(fd, iov, iovcnt, offset, flags);
}

EXPORT ssize_t read(int fd, void* buf, size_t count) {
  FAIL_IF(K_READ, fd, -1, NULL, -1);
  return real_read()(fd, buf, count);
}

EXPORT int close(int fd) {
  int err;
  const int fail = should_fail(K_CLOSE, fd, -1, NULL, &err, NULL, NULL);
  const int rc = real_close()(fd);
  if (__atomic_load_n(&ring_count, __ATOMIC_RELAXED) > 0) ring_closed(fd);
  if (fail) {
    errno = err;
    return -1;
  }
  return rc;
}

static void* map_or_fail(mmap_fn real, void* addr, size_t length, int prot,
                         int flags, int fd, off_t offset) {
  if ((flags & MAP_ANONYMOUS) == 0)
    FAIL_IF(K_MMAP, fd, (long long)offset, NULL, MAP_FAILED);
  void* at = real(addr, length, prot, flags, fd, offset);
  if ((flags & MAP_ANONYMOUS) == 0 &&
      __atomic_load_n(&ring_count, __ATOMIC_RELAXED) > 0)
    ring_mapped(fd, offset, at);
  return at;
}

EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd,
                  off_t offset) {
  return map_or_fail(real_mmap(), addr, length, prot, flags, fd, offset);
}

EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd,
                    off_t offset) {
  return map_or_fail(real_mmap64(), addr, length, prot, flags, fd, offset);
}

EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                          void* (*start)(void*), void* arg) {
  int err;
  if (should_fail(K_PTHREAD_CREATE, -1, -1, NULL, &err, NULL, NULL)) return err;
  return real_pthread_create()(thread, attr, start, arg);
}

/* x86-64 passes at most six arguments to a system call; reading six is
 * what the C library's own wrapper does. */
EXPORT long syscall(long number, ...) {
  va_list ap;
  va_start(ap, number);
  long a[6];
  for (int i = 0; i < 6; ++i) a[i] = va_arg(ap, long);
  va_end(ap);
  const int kind = number == SYS_URING_SETUP      ? K_URING_SETUP
                   : number == SYS_URING_ENTER    ? K_URING_ENTER
                   : number == SYS_URING_REGISTER ? K_URING_REGISTER
                                                  : -1;
  int err = 0;
  int after = 0;
  int partial = 0;
  if (kind >= 0 && should_fail(kind, kind == K_URING_ENTER ? a[0] : -1, -1,
                               NULL, &err, &after, &partial)) {
    if (partial) {
      /* a[1] entries to submit, a[2] completions to wait for. */
      const long half = a[1] / 2;
      return real_syscall()(number, a[0], half, a[2] < half ? a[2] : half, a[3],
                            a[4], a[5]);
    }
    if (after) {
      /* Hand over the entries without waiting, then report the error the
       * interrupted wait would have given. */
      const long ignored =
          real_syscall()(number, a[0], a[1], 0L, 0L, a[4], a[5]);
      (void)ignored;
    }
    errno = err;
    return -1;
  }
  const long rc = real_syscall()(number, a[0], a[1], a[2], a[3], a[4], a[5]);
  if (number == SYS_URING_SETUP && rc >= 0) {
    ring_made((int)rc, (const struct io_uring_params*)a[1]);
  } else if (number == SYS_URING_ENTER && rc >= 0 && completion_rules()) {
    const int saved = errno;
    rewrite_completions((int)a[0]);
    errno = saved;
  }
  return rc;
}

/* operator new and new[], plain and aligned. A failure throws
 * std::bad_alloc through the C++ runtime's own thrower (the library is
 * built with -fexceptions to let it pass through). The nothrow forms are
 * left alone: nothing of ours uses them. */
typedef void (*thrower_fn)(void);
REAL(thrower_fn, _ZSt17__throw_bad_allocv)

static void fail_new(void) {
  int err;
  if (should_fail(K_NEW, -1, -1, NULL, &err, NULL, NULL))
    real__ZSt17__throw_bad_allocv()();
}

EXPORT void* _Znwm(size_t size) {
  fail_new();
  return real__Znwm()(size);
}

EXPORT void* _Znam(size_t size) {
  fail_new();
  return real__Znam()(size);
}

EXPORT void* _ZnwmSt11align_val_t(size_t size, size_t align) {
  fail_new();
  return real__ZnwmSt11align_val_t()(size, align);
}

EXPORT void* _ZnamSt11align_val_t(size_t size, size_t align) {
  fail_new();
  return real__ZnamSt11align_val_t()(size, align);
}
