/* Failure points for the calls that libfiu's POSIX preload library does not wrap (the *at()
 * family, link, the stat family), in the same namespace style and driven by the same libfiu
 * switches: fiu_enable("karnid/io/openat", 1, (void *)EIO, 0) and so on. Loaded after
 * fiu_posix_preload.so by fiu-run's LD_PRELOAD.
 *
 * Also exports karnid_fault_nth, a libfiu external callback that fails only the N-th call that
 * reaches an enabled point (karnid_fault_arm(N)), so a driver can fail each call in turn. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

int fiu_fail(const char* name);
void* fiu_failinfo(void);

static atomic_long countdown;
static atomic_int fired;

int karnid_fault_nth(const char* name, int* failnum, void** failinfo, unsigned int* flags) {
  (void)name, (void)failnum, (void)failinfo, (void)flags;
  if (atomic_fetch_sub(&countdown, 1) == 1) {
    atomic_store(&fired, 1);
    return 1;
  }
  return 0;
}

void karnid_fault_arm(long n) {
  atomic_store(&fired, 0);
  atomic_store(&countdown, n);
}

int karnid_fault_fired(void) {
  return atomic_load(&fired);
}

static int fail(const char* name) {
  if (!fiu_fail(name)) return 0;
  intptr_t info = (intptr_t)fiu_failinfo();
  errno = info ? (int)info : EIO;
  return 1;
}

#define REAL(ret, fn, ...)                                                  \
  static ret (*real_##fn)(__VA_ARGS__);                                     \
  static void load_##fn(void) {                                             \
    if (!real_##fn) real_##fn = (ret(*)(__VA_ARGS__))dlsym(RTLD_NEXT, #fn); \
  }

REAL(int, openat, int, const char*, int, ...)
REAL(int, openat64, int, const char*, int, ...)
REAL(int, renameat, int, const char*, int, const char*)
REAL(int, renameat2, int, const char*, int, const char*, unsigned int)
REAL(int, linkat, int, const char*, int, const char*, int)
REAL(int, link, const char*, const char*)
REAL(int, stat, const char*, struct stat*)
REAL(int, stat64, const char*, struct stat64*)
REAL(int, lstat, const char*, struct stat*)
REAL(int, lstat64, const char*, struct stat64*)
REAL(int, fstat, int, struct stat*)
REAL(int, fstat64, int, struct stat64*)
REAL(int, fstatat, int, const char*, struct stat*, int)
REAL(int, fstatat64, int, const char*, struct stat64*, int)
REAL(int, statx, int, const char*, int, unsigned int, struct statx*)

static mode_t mode_arg(int flags, va_list ap) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  if (fail("karnid/io/openat")) return -1;
  load_openat();
  return real_openat(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_arg(flags, ap);
  va_end(ap);
  if (fail("karnid/io/openat")) return -1;
  load_openat64();
  return real_openat64(dir, path, flags, mode);
}

#define WRAP(point, fn, params, args) \
  int fn params {                     \
    if (fail(point)) return -1;       \
    load_##fn();                      \
    return real_##fn args;            \
  }

WRAP("karnid/io/renameat", renameat, (int a, const char* b, int c, const char* d), (a, b, c, d))
WRAP("karnid/io/renameat", renameat2, (int a, const char* b, int c, const char* d, unsigned int e),
     (a, b, c, d, e))
WRAP("karnid/io/linkat", linkat, (int a, const char* b, int c, const char* d, int e),
     (a, b, c, d, e))
WRAP("karnid/io/linkat", link, (const char* a, const char* b), (a, b))
WRAP("karnid/io/stat", stat, (const char* a, struct stat* b), (a, b))
WRAP("karnid/io/stat", stat64, (const char* a, struct stat64* b), (a, b))
WRAP("karnid/io/stat", lstat, (const char* a, struct stat* b), (a, b))
WRAP("karnid/io/stat", lstat64, (const char* a, struct stat64* b), (a, b))
WRAP("karnid/io/stat", fstatat, (int a, const char* b, struct stat* c, int d), (a, b, c, d))
WRAP("karnid/io/stat", fstatat64, (int a, const char* b, struct stat64* c, int d), (a, b, c, d))
WRAP("karnid/io/stat", statx, (int a, const char* b, int c, unsigned int d, struct statx* e),
     (a, b, c, d, e))
WRAP("karnid/io/fstat", fstat, (int a, struct stat* b), (a, b))
WRAP("karnid/io/fstat", fstat64, (int a, struct stat64* b), (a, b))
