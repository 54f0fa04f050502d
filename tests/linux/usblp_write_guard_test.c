/* The usblp write guard's own behaviour, linked against its build that takes FIFOs for printers
 * (a build machine has no usblp device; the kernel tier meets the real driver): a guarded write
 * is whole, blocking and signal-free however the descriptor was opened, leaves the descriptor,
 * the signal mask and errno as they were; other descriptors are left alone; a close waits for
 * what is still under way; and the guard says in the environment that it is loaded.
 * Exit 0 when every check holds; each failed check is named on standard error. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static int failures;

#define CHECK(condition, ...)                                   \
  do {                                                          \
    if (!(condition)) {                                         \
      fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__);      \
      fprintf(stderr, __VA_ARGS__);                             \
      fputc('\n', stderr);                                      \
      ++failures;                                               \
    }                                                           \
  } while (0)

static long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

/* A FIFO open at both ends, the writing end non-blocking as Wine's server opens devices. */
struct Fifo {
  int reader, writer;
};

static struct Fifo OpenFifo(const char *directory, const char *name) {
  char path[512];
  snprintf(path, sizeof path, "%s/%s", directory, name);
  unlink(path);
  struct Fifo fifo = {-1, -1};
  if (mkfifo(path, 0600) != 0) return fifo;
  fifo.reader = open(path, O_RDONLY | O_NONBLOCK);
  fifo.writer = open(path, O_WRONLY | O_NONBLOCK);
  unlink(path);
  return fifo;
}

/* Takes what arrives at a FIFO, slowly: delayMs before it starts, then 16 KiB every 10 ms. */
struct Drain {
  int fd;
  long delayMs;
  volatile size_t taken;
};

static void *Drainer(void *context) {
  struct Drain *drain = context;
  SleepMs(drain->delayMs);
  fcntl(drain->fd, F_SETFL, fcntl(drain->fd, F_GETFL) & ~O_NONBLOCK);
  char buffer[16384];
  ssize_t n;
  while ((n = read(drain->fd, buffer, sizeof buffer)) > 0) {
    drain->taken += (size_t)n;
    SleepMs(10);
  }
  return NULL;
}

/* What the reader had taken when the first signal was handled: a signal handled within the
 * write comes while most of the bytes are still to be read. */
static volatile sig_atomic_t signalsTaken;
static volatile size_t *readSoFar;
static volatile size_t readAtFirstSignal;
static void TakeSignal(int signal) {
  (void)signal;
  if (signalsTaken == 0 && readSoFar) readAtFirstSignal = *readSoFar;
  signalsTaken = signalsTaken + 1;
}

/* Signals the writing thread every 5 ms until told to stop, from the moment the first bytes of
 * its write are in the pipe (the FIFO's reading end, queued): a signal before the write has begun
 * is the thread's to take. */
struct Pester {
  pthread_t target;
  int queued;
  volatile int stop;
  int sent;
};

static void *Pesterer(void *context) {
  struct Pester *pester = context;
  int queued = 0;
  while (!pester->stop && (ioctl(pester->queued, FIONREAD, &queued) != 0 || queued == 0)) {
    SleepMs(1);
  }
  while (!pester->stop) {
    pthread_kill(pester->target, SIGUSR1);
    ++pester->sent;
    SleepMs(5);
  }
  return NULL;
}

static void GuardedWriteIsWholeBlockingAndSignalFree(const char *directory) {
  struct Fifo fifo = OpenFifo(directory, "printer");
  CHECK(fifo.reader >= 0 && fifo.writer >= 0, "no FIFO in %s", directory);
  if (fifo.reader < 0 || fifo.writer < 0) return;

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = TakeSignal;
  sigaction(SIGUSR1, &action, NULL);
  sigset_t maskBefore, maskAfter;
  sigemptyset(&maskBefore);
  sigaddset(&maskBefore, SIGUSR2);  // a mask of the caller's own, to be given back as it was
  pthread_sigmask(SIG_SETMASK, &maskBefore, NULL);

  // Far more than the pipe holds (64 KiB): a non-blocking write would take part and return.
  enum { kBytes = 1 << 20 };
  unsigned char *bytes = malloc(kBytes);
  for (size_t i = 0; i < kBytes; ++i) bytes[i] = (unsigned char)(i * 7);
  struct Drain drain = {fifo.reader, 100, 0};
  struct Pester pester = {pthread_self(), fifo.reader, 0, 0};
  pthread_t drainer, pesterer;
  pthread_create(&drainer, NULL, Drainer, &drain);
  pthread_create(&pesterer, NULL, Pesterer, &pester);

  signalsTaken = 0;
  readSoFar = &drain.taken;
  errno = 12345;
  const long start = NowMs();
  const ssize_t written = write(fifo.writer, bytes, kBytes);
  const int errorAfter = errno;
  const long took = NowMs() - start;
  pester.stop = 1;
  pthread_join(pesterer, NULL);

  CHECK(written == kBytes, "wrote %zd of %d bytes (errno %d)", written, kBytes, errorAfter);
  CHECK(errorAfter == 12345, "errno changed to %d", errorAfter);
  CHECK(took >= 100, "returned after %ld ms, before the reader began", took);
  // Held back until the write is over, the signals are then taken (one pending signal is one),
  // when nothing but what the pipe holds is left to read.
  CHECK(pester.sent > 10 && signalsTaken >= 1, "%d signals sent, %d taken", pester.sent,
        (int)signalsTaken);
  CHECK(readAtFirstSignal + (1 << 16) + (1 << 14) >= kBytes,
        "a signal was taken within the write, %zu bytes into it", (size_t)readAtFirstSignal);
  pthread_sigmask(SIG_SETMASK, NULL, &maskAfter);
  CHECK(sigismember(&maskAfter, SIGUSR2) && !sigismember(&maskAfter, SIGUSR1) &&
            !sigismember(&maskAfter, SIGINT),
        "the signal mask was not given back as it was");
  CHECK(fcntl(fifo.writer, F_GETFL) & O_NONBLOCK, "the descriptor was left blocking");

  close(fifo.writer);
  pthread_join(drainer, NULL);
  CHECK(drain.taken == kBytes, "the reader took %zu bytes", (size_t)drain.taken);
  readSoFar = NULL;
  close(fifo.reader);
  free(bytes);
  pthread_sigmask(SIG_SETMASK, &(sigset_t){0}, NULL);
}

static void OtherDescriptorsAreLeftAlone(void) {
  int pair[2];
  CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0, "no socket pair");
  fcntl(pair[0], F_SETFL, O_NONBLOCK);
  static unsigned char bytes[1 << 20];
  const ssize_t written = write(pair[0], bytes, sizeof bytes);
  // A non-blocking socket takes what fits and returns at once, guard or not.
  CHECK(written > 0 && written < (ssize_t)sizeof bytes, "a socket write took %zd bytes", written);
  errno = 0;
  CHECK(write(pair[0], bytes, sizeof bytes) == -1 && errno == EAGAIN,
        "a full non-blocking socket did not refuse with EAGAIN (errno %d)", errno);
  close(pair[0]);
  close(pair[1]);
}

static void CloseWaitsForWhatIsUnderWay(const char *directory) {
  struct Fifo fifo = OpenFifo(directory, "closing");
  if (fifo.reader < 0 || fifo.writer < 0) return;
  // Filled through writev(), which the guard leaves alone: the pipe is full, as a device with a
  // transfer still under way.
  static unsigned char bytes[1 << 16];
  ssize_t n;
  size_t filled = 0;
  do {
    n = writev(fifo.writer, &(struct iovec){bytes, sizeof bytes}, 1);
    if (n > 0) filled += (size_t)n;
  } while (n > 0);
  CHECK(filled > 0, "the pipe was not filled");
  struct Drain drain = {fifo.reader, 300, 0};
  pthread_t drainer;
  pthread_create(&drainer, NULL, Drainer, &drain);
  const long start = NowMs();
  close(fifo.writer);
  const long took = NowMs() - start;
  CHECK(took >= 250, "close returned after %ld ms, before the reader took anything", took);
  CHECK(took < 5000, "close waited %ld ms", took);
  pthread_join(drainer, NULL);
  close(fifo.reader);
}

int main(int argc, char **argv) {
  const char *directory = argc > 1 ? argv[1] : "/tmp";
  const char *said = getenv("KORVEX_USBLP_GUARD");
  const char *expected = sizeof(void *) == 8 ? "x86_64" : "i386";
  CHECK(said && strcmp(said, expected) == 0, "KORVEX_USBLP_GUARD is %s, not %s",
        said ? said : "unset", expected);
  GuardedWriteIsWholeBlockingAndSignalFree(directory);
  OtherDescriptorsAreLeftAlone();
  CloseWaitsForWhatIsUnderWay(directory);
  if (failures == 0) printf("every check held (%d-bit)\n", (int)(sizeof(void *) * 8));
  return failures == 0 ? 0 : 1;
}
