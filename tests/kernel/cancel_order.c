// Preloaded into korvex by a kernel test: watches the order in which korvex cancels its libusb
// transfers. The host controller moves the transfers of one endpoint in order; a transfer
// cancelled while one submitted after it on the same endpoint is still queued and not cancelled
// leaves that one free to move in its place, and the printer gets a hole in its firmware. That
// happens only when the controller moves in the instant between two cancels, so this library
// says when the order made it possible, on standard error:
//   korvex-cancel-order: transfer N cancelled before transfer M, submitted after it, still queued
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libusb.h>
#include <pthread.h>
#include <stdio.h>

enum { kWatched = 64 };

struct Watched {
  struct libusb_transfer *transfer;
  libusb_transfer_cb_fn callback;  // korvex's own
  unsigned long long order;        // submitted as the order-th transfer
  unsigned char endpoint;
  int queued, cancelled;
};

static struct Watched watched[kWatched];
static unsigned long long submitted;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *Next(const char *name) { return dlsym(RTLD_NEXT, name); }

static struct Watched *Find(struct libusb_transfer *transfer) {
  for (int i = 0; i < kWatched; ++i) {
    if (watched[i].transfer == transfer) return &watched[i];
  }
  return NULL;
}

static void LIBUSB_CALL Ended(struct libusb_transfer *transfer) {
  pthread_mutex_lock(&lock);
  struct Watched *entry = Find(transfer);
  libusb_transfer_cb_fn callback = entry ? entry->callback : NULL;
  if (entry) entry->queued = 0;
  pthread_mutex_unlock(&lock);
  if (callback) callback(transfer);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer *transfer) {
  static int (*submit)(struct libusb_transfer *);
  if (!submit) submit = (int (*)(struct libusb_transfer *))Next("libusb_submit_transfer");
  pthread_mutex_lock(&lock);
  struct Watched *entry = Find(transfer);
  if (!entry) entry = Find(NULL);
  if (entry) {
    entry->transfer = transfer;
    entry->callback = transfer->callback;
    entry->order = ++submitted;
    entry->endpoint = transfer->endpoint;
    entry->queued = 1;
    entry->cancelled = 0;
    transfer->callback = Ended;
  }
  const int result = submit(transfer);
  if (entry && result != 0) {
    entry->queued = 0;
    transfer->callback = entry->callback;
  }
  pthread_mutex_unlock(&lock);
  return result;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer *transfer) {
  static int (*cancel)(struct libusb_transfer *);
  if (!cancel) cancel = (int (*)(struct libusb_transfer *))Next("libusb_cancel_transfer");
  pthread_mutex_lock(&lock);
  const struct Watched *entry = Find(transfer);
  if (entry && entry->queued && !entry->cancelled) {
    for (int i = 0; i < kWatched; ++i) {
      const struct Watched *later = &watched[i];
      if (later->transfer && later->endpoint == entry->endpoint && later->order > entry->order &&
          later->queued && !later->cancelled) {
        fprintf(stderr,
                "korvex-cancel-order: transfer %llu cancelled before transfer %llu, submitted "
                "after it, still queued\n",
                entry->order, later->order);
        break;
      }
    }
  }
  if (entry) ((struct Watched *)entry)->cancelled = 1;
  const int result = cancel(transfer);
  pthread_mutex_unlock(&lock);
  return result;
}
