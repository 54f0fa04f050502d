/* What the usblp driver does that a pty cannot, for korvex's end-to-end tests: preloaded into
 * korvex (LD_PRELOAD), it makes the stand-in printers' ptys behave as /dev/usb/lpN does.
 *
 * - One open at a time: a second open of a printer while one is held fails with EBUSY (the
 *   lock is flock(2) on the device, which another program can try as well).
 * - A write takes the bytes, then waits for "its transfer" interruptibly: a signal during that
 *   wait ends the call with EINTR although the printer has the bytes, as usblp's blocking write
 *   does after it has submitted its USB transfer. KORVEX_STANDIN_WRITE_US sets the wait.
 *
 * And one thing another program may do at the worst moment: KORVEX_STANDIN_REWRITE="OFFSET:N:
 * FILE:NEW" overwrites FILE with the contents of NEW just before korvex's Nth read of FILE at
 * OFFSET (counted from 1), after any check it made before that read.
 *
 * Printers are told apart by their device: pty slaves (Unix98 majors 136-143). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

static int IsPrinter(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) && major(status.st_rdev) >= 136 &&
         major(status.st_rdev) <= 143;
}

/* A printer already open elsewhere is refused, and the new descriptor closed. */
static int HoldOrRefuse(int fd) {
  if (fd < 0 || !IsPrinter(fd)) return fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    errno = EBUSY;
    return -1;
  }
  return fd;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, name))
typedef int (*OpenFunction)(const char *, int, ...);
typedef int (*OpenAtFunction)(int, const char *, int, ...);
typedef ssize_t (*WriteFunction)(int, const void *, size_t);
typedef ssize_t (*ReadFunction)(int, void *, size_t);

#define MODE_ARGUMENT(flags, mode)             \
  mode_t mode = 0;                             \
  if ((flags) & (O_CREAT | O_TMPFILE)) {       \
    va_list arguments;                         \
    va_start(arguments, flags);                \
    mode = (mode_t)va_arg(arguments, int);     \
    va_end(arguments);                         \
  }

int open(const char *path, int flags, ...) {
  MODE_ARGUMENT(flags, mode);
  return HoldOrRefuse(REAL("open", OpenFunction)(path, flags, mode));
}

int open64(const char *path, int flags, ...) {
  MODE_ARGUMENT(flags, mode);
  return HoldOrRefuse(REAL("open64", OpenFunction)(path, flags, mode));
}

int openat(int directory, const char *path, int flags, ...) {
  MODE_ARGUMENT(flags, mode);
  return HoldOrRefuse(REAL("openat", OpenAtFunction)(directory, path, flags, mode));
}

int openat64(int directory, const char *path, int flags, ...) {
  MODE_ARGUMENT(flags, mode);
  return HoldOrRefuse(REAL("openat64", OpenAtFunction)(directory, path, flags, mode));
}

ssize_t write(int fd, const void *bytes, size_t count) {
  const ssize_t taken = REAL("write", WriteFunction)(fd, bytes, count);
  const char *wait = getenv("KORVEX_STANDIN_WRITE_US");
  if (taken <= 0 || wait == NULL || !IsPrinter(fd)) return taken;
  const long microseconds = strtol(wait, NULL, 10);
  struct timespec transfer = {microseconds / 1000000, (microseconds % 1000000) * 1000};
  if (nanosleep(&transfer, NULL) != 0 && errno == EINTR) return -1; /* the bytes are taken */
  return taken;
}

/* Overwrites the file named in KORVEX_STANDIN_REWRITE once, before the read that starts at its
 * offset. */
static void RewriteBeforeRead(int fd) {
  static int seen = 0;
  const char *setting = getenv("KORVEX_STANDIN_REWRITE");
  if (setting == NULL) return;
  char copy[4096];
  snprintf(copy, sizeof copy, "%s", setting);
  char *nth = strchr(copy, ':');
  char *target = nth ? strchr(nth + 1, ':') : NULL;
  char *source = target ? strchr(target + 1, ':') : NULL;
  if (source == NULL) return;
  *nth++ = 0;
  *target++ = 0;
  *source++ = 0;
  struct stat opened, named;
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || stat(target, &named) != 0 ||
      opened.st_ino != named.st_ino || opened.st_dev != named.st_dev ||
      lseek(fd, 0, SEEK_CUR) != strtol(copy, NULL, 10) || ++seen != strtol(nth, NULL, 10)) {
    return;
  }
  const int in = REAL("open", OpenFunction)(source, O_RDONLY);
  const int out = REAL("open", OpenFunction)(target, O_WRONLY);
  char buffer[65536];
  ssize_t n;
  while (in >= 0 && out >= 0 && (n = REAL("read", ReadFunction)(in, buffer, sizeof buffer)) > 0) {
    REAL("write", WriteFunction)(out, buffer, (size_t)n);
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
}

ssize_t read(int fd, void *buffer, size_t count) {
  RewriteBeforeRead(fd);
  return REAL("read", ReadFunction)(fd, buffer, count);
}
