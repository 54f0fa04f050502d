/* The usblp write guard: a library that scripts/korvex-linux preloads into Wine's processes so
 * that a write to a printer of the usblp driver (/dev/usb/lpN) is carried out once, whole, and
 * known to be done before it returns, as the Windows printer driver's writes are.
 *
 * Why Wine needs it. Wine's server opens every device non-blocking, and the calling thread's
 * write(2) then returns as soon as usblp has submitted the USB transfer: the window program
 * closes the device after every block and part, and closing /dev/usb/lpN cancels a transfer
 * still under way, so the end of a block is cut off. And usblp's write checks for a pending
 * signal before it looks whether its transfer is done: with a signal in the writing thread it
 * returns EINTR although the transfer was submitted, and Wine's NtWriteFile writes the piece
 * again after EINTR, so it reaches the printer twice.
 *
 * So a write to a descriptor that is a usblp device (a character device of the USB major 180,
 * minors 0-15) is carried out blocking (usblp then waits for each transfer and returns what it
 * really did: the bytes taken, or EIO, ENODEV), and not in the calling thread but in a thread
 * of the guard's own, which blocks every signal and which Wine does not know. Blocking the
 * signals of Wine's thread would not do: to suspend a thread or read its context, Wine's server
 * also attaches to it with ptrace, and that stop interrupts usblp's wait whatever the thread
 * blocks. Wine's thread meanwhile waits for the guard's thread, with its own signals held back
 * until the write is done, so that nothing of Wine runs in it in the middle of the guard.
 * What can still interrupt the write is a stop of the whole process (SIGSTOP, a debugger, the
 * freezer): the transfer may have gone out or not, so that write fails with EIO and is never
 * made again. Nothing is under way when Wine closes the device afterwards; a close still waits
 * until the device's last transfer is done, for a write that reached the device another way.
 *
 * Loaded, it sets KORVEX_USBLP_GUARD to its architecture in the environment that Wine passes
 * on into the Windows program's: the window program refuses a firmware upgrade through the
 * bridge when the variable does not name its own architecture. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

/* USB_MAJOR of the kernel; usblp's minors are USBLP_MINOR_BASE 0 to USBLP_MINORS 16. */
enum { kUsbMajor = 180, kUsblpMinors = 16 };
/* usblp's USBLP_BUF_SIZE: it sends a write in transfers of at most this many bytes, and a write
 * that ends early reports only the transfers it saw done. Written one transfer per call, an
 * interrupted write is told apart from one that took less. */
enum { kUsblpTransferBytes = 8192 };
/* How long a close waits for a transfer still under way before it closes all the same. */
enum { kCloseWaitMilliseconds = 5000 };

#if defined(__x86_64__)
#define KORVEX_GUARD_ARCHITECTURE "x86_64"
#elif defined(__i386__)
#define KORVEX_GUARD_ARCHITECTURE "i386"
#else
#error "the usblp write guard is built for x86_64 and i386"
#endif

typedef ssize_t (*WriteFunction)(int, const void *, size_t);
typedef int (*CloseFunction)(int);

static WriteFunction realWrite;
static CloseFunction realClose;

/* One write handed to the guard's thread; one at a time, the callers take turns. */
struct Job {
  int fd;
  const unsigned char *bytes;
  size_t count;
  ssize_t result;
  int error;
  int done;
};

static pthread_mutex_t jobLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t jobChanged = PTHREAD_COND_INITIALIZER;
static struct Job *job;  /* the write handed over and not yet taken back */
static int writerRunning;

static void FindRealFunctions(void) {
  if (!realWrite) realWrite = (WriteFunction)dlsym(RTLD_NEXT, "write");
  if (!realClose) realClose = (CloseFunction)dlsym(RTLD_NEXT, "close");
}

/* A child of fork() has no guard's thread, whatever its parent had; nobody waits in it. */
static void AfterFork(void) {
  pthread_mutex_init(&jobLock, NULL);
  pthread_cond_init(&jobChanged, NULL);
  job = NULL;
  writerRunning = 0;
}

__attribute__((constructor)) static void StartGuard(void) {
  FindRealFunctions();
  pthread_atfork(NULL, NULL, AfterFork);
  setenv("KORVEX_USBLP_GUARD", KORVEX_GUARD_ARCHITECTURE, 1);
}

static int IsGuarded(int fd) {
  struct stat st;
  const int saved = errno;
  const int ok = fstat(fd, &st) == 0;
  errno = saved;
  if (!ok) return 0;
#ifdef KORVEX_USBLP_GUARD_TEST_FIFOS
  /* The guard's own tests stand FIFOs in for printers: no usblp device on a build machine. */
  if (S_ISFIFO(st.st_mode)) return 1;
#endif
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == kUsbMajor &&
         minor(st.st_rdev) < kUsblpMinors;
}

/* One write as usblp's blocking write does it, a transfer at a time. */
static ssize_t WriteWhole(int fd, const unsigned char *bytes, size_t count) {
  size_t done = 0;
  while (done < count) {
    const size_t piece = count - done < kUsblpTransferBytes ? count - done : kUsblpTransferBytes;
    const ssize_t n = realWrite(fd, bytes + done, piece);
    if (n > 0) {
      done += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) {
      /* The transfer may be on its way: never let anybody write it again. */
      errno = EIO;
      return -1;
    }
    if (n < 0 && done == 0) return -1;
    break;
  }
  return (ssize_t)done;
}

/* The descriptor is blocking for the write alone: Wine's server shares the open file and polls
 * it, which the flag does not change. */
static void CarryOut(struct Job *work) {
  const int flags = fcntl(work->fd, F_GETFL);
  const int flip = flags != -1 && (flags & O_NONBLOCK);
  if (flip) fcntl(work->fd, F_SETFL, flags & ~O_NONBLOCK);
  work->result = WriteWhole(work->fd, work->bytes, work->count);
  work->error = errno;
  if (flip) fcntl(work->fd, F_SETFL, flags);
}

/* The guard's thread: started with every signal blocked, it takes the writes handed to it. */
static void *Writer(void *unused) {
  (void)unused;
  pthread_mutex_lock(&jobLock);
  for (;;) {
    while (!job || job->done) pthread_cond_wait(&jobChanged, &jobLock);
    struct Job *work = job;
    pthread_mutex_unlock(&jobLock);
    CarryOut(work);
    pthread_mutex_lock(&jobLock);
    work->done = 1;
    pthread_cond_broadcast(&jobChanged);
  }
  return NULL;
}

ssize_t write(int fd, const void *bytes, size_t count) {
  FindRealFunctions();
  if (count == 0 || !IsGuarded(fd)) return realWrite(fd, bytes, count);

  /* Held back here until the write is done: no handler of Wine's runs in this thread while it
   * waits, and the guard's thread, started now, inherits the full mask. */
  const int callersError = errno;
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  struct Job work = {fd, bytes, count, -1, EIO, 0};
  pthread_mutex_lock(&jobLock);
  if (!writerRunning) {
    pthread_t writer;
    if (pthread_create(&writer, NULL, Writer, NULL) == 0) {
      pthread_detach(writer);
      writerRunning = 1;
    }
  }
  if (writerRunning) {
    while (job) pthread_cond_wait(&jobChanged, &jobLock);
    job = &work;
    pthread_cond_broadcast(&jobChanged);
    while (!work.done) pthread_cond_wait(&jobChanged, &jobLock);
    job = NULL;
    pthread_cond_broadcast(&jobChanged);
  } else {
    /* No thread to be had: this one's own write, its signals blocked, is the next best. */
    CarryOut(&work);
  }
  pthread_mutex_unlock(&jobLock);
  pthread_sigmask(SIG_SETMASK, &before, NULL);
  errno = work.result < 0 ? work.error : callersError;
  return work.result;
}

static long MillisecondsSince(const struct timespec *start) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start->tv_sec) * 1000L + (now.tv_nsec - start->tv_nsec) / 1000000L;
}

/* usblp reports POLLOUT once its last transfer is done, and cancels one still under way when
 * the device is closed. */
static void WaitForLastTransfer(int fd) {
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const long left = kCloseWaitMilliseconds - MillisecondsSince(&start);
    if (left <= 0) return;
    struct pollfd device = {fd, POLLOUT, 0};
    const int ready = poll(&device, 1, (int)left);
    if (ready < 0 && errno == EINTR) continue;
    return;
  }
}

int close(int fd) {
  FindRealFunctions();
  if (IsGuarded(fd)) {
    const int saved = errno;
    WaitForLastTransfer(fd);
    errno = saved;
  }
  return realClose(fd);
}
