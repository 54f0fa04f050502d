// A printer's connection through libusb. Each connection has a libusb context of its own, so
// that the thread driving one printer handles that printer's events and nothing else: several
// printers run at once without sharing anything but the library. Every transfer is
// asynchronous, so that Cancel from another thread can cancel it and the waiting call ends; a
// transfer is submitted once and never again, whatever ended it.
#include "os/libusb/libusb_transport.h"

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "os/libusb/bulk_in_reader.h"

namespace {

constexpr int kBidirectionalProtocol = 2;
constexpr int kIeee1284Protocol = 3;
// A bulk endpoint's packet size when its descriptor gives none: a high-speed one's.
constexpr int kDefaultPacketBytes = 512;
// Firmware pieces in flight at once: enough that the bus never waits for the program between
// two pieces (make bench-kernel measures it).
constexpr uint32_t kPiecesInFlight = 8;
constexpr int kMaxPortDepth = 7;  // USB allows 5 tiers of hubs below the root; libusb's bound
// How long the program's end waits for a call it cancelled to return, or for a connection that
// another thread is closing, before it ends without it.
constexpr auto kEndWait = std::chrono::seconds(2);

TransportFailure FailureOf(int error) {
  switch (error) {
    case LIBUSB_ERROR_ACCESS: return TransportFailure::NoAccess;
    case LIBUSB_ERROR_BUSY: return TransportFailure::Busy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
    case LIBUSB_ERROR_IO: return TransportFailure::Gone;
    case LIBUSB_ERROR_TIMEOUT: return TransportFailure::TimedOut;
    default: return TransportFailure::Other;
  }
}

// The printer-class interface and alternate setting a connection claims, and its endpoints.
struct PrinterInterface {
  int number = -1;
  int alternate = 0;
  bool severalAlternates = false;
  unsigned char in = 0, out = 0;
  int inPacketBytes = kDefaultPacketBytes;
};

// The first printer-class interface with a bulk IN and a bulk OUT endpoint, in the bidirectional
// protocol where an interface offers it (as the usblp driver prefers it), else IEEE 1284.4.
// Neither IPP over USB (it speaks HTTP) nor the unidirectional protocol (nothing comes back).
bool FindPrinterInterface(libusb_device *device, PrinterInterface *found) {
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
  int bestRank = 0;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface &interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting; ++a) {
      const libusb_interface_descriptor &setting = interface.altsetting[a];
      if (setting.bInterfaceClass != LIBUSB_CLASS_PRINTER) continue;
      const int rank = setting.bInterfaceProtocol == kBidirectionalProtocol ? 2
                       : setting.bInterfaceProtocol == kIeee1284Protocol    ? 1
                                                                            : 0;
      if (rank <= bestRank) continue;
      PrinterInterface candidate;
      for (int e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor &endpoint = setting.endpoint[e];
        if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
          continue;
        }
        if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
          if (candidate.in != 0) continue;
          candidate.in = endpoint.bEndpointAddress;
          const int packet = endpoint.wMaxPacketSize & 0x7FF;
          if (packet > 0) candidate.inPacketBytes = packet;
        } else if (candidate.out == 0) {
          candidate.out = endpoint.bEndpointAddress;
        }
      }
      if (candidate.in == 0 || candidate.out == 0) continue;
      candidate.number = setting.bInterfaceNumber;
      candidate.alternate = setting.bAlternateSetting;
      candidate.severalAlternates = interface.num_altsetting > 1;
      *found = candidate;
      bestRank = rank;
    }
  }
  libusb_free_config_descriptor(config);
  return bestRank > 0;
}

void LIBUSB_CALL OnTransferDone(libusb_transfer *transfer) {
  *static_cast<int *>(transfer->user_data) = 1;
}

class LibusbTransport;

// The connections open now, for the program's end on a signal. Never destroyed: that end may
// come while the program's static objects are being destroyed.
struct Connections {
  std::mutex mutex;
  std::condition_variable closed;
  std::set<LibusbTransport *> open;
  int closing = 0;                // connections that their own thread is closing
  std::atomic<bool> ending{false};  // the program ends: no connection opens any more
};
Connections &OpenConnections() {
  static Connections *connections = new Connections();
  return *connections;
}

class LibusbTransport : public PrinterTransport {
  // A firmware piece's transfer, made once and used for every piece of its place in the ring.
  struct Piece {
    libusb_transfer *transfer = nullptr;
    int completed = 0;
    uint32_t length = 0;
    bool inFlight = false;
    uint64_t order = 0;  // when it was submitted, counted on the connection
  };

 public:
  explicit LibusbTransport(const LibusbPrinterPlace &place) : place_(place) {}
  ~LibusbTransport() override { Close(); }

  bool Open(TransportMode mode) override {
    const bool opened = OpenOnce(mode);
    AwaitTheEnd();
    return opened;
  }

  bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
             uint32_t *written) override {
    const bool done = WriteOnce(bytes, length, timeoutMs, written);
    AwaitTheEnd();
    return done;
  }

  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
            uint32_t *count) override {
    const bool done = ReadOnce(buffer, capacity, timeoutMs, count);
    AwaitTheEnd();
    return done;
  }

  uint32_t PiecesInFlight() const override { return kPiecesInFlight; }

  bool WritePieces(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                   uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                   void *context) override {
    const bool done = WritePiecesOnce(bytes, length, pieceBytes, stallMs, onTaken, context);
    AwaitTheEnd();
    return done;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> lock(inFlightMutex_);
    cancelled_ = true;
    if (inFlight_ != nullptr) libusb_cancel_transfer(inFlight_);
    CancelPiecesLocked();
  }

  void Close() override {
    Connections &connections = OpenConnections();
    {
      std::lock_guard<std::mutex> lock(connections.mutex);
      if (connections.open.erase(this) == 0) return;
      ++connections.closing;
    }
    {
      std::lock_guard<std::timed_mutex> use(use_);
      ShutDownLocked();
    }
    std::lock_guard<std::mutex> lock(connections.mutex);
    --connections.closing;
    connections.closed.notify_all();
  }

  TransportFailure LastFailure() const override { return failure_; }

  // The program's end, under the connections' mutex: the call in progress was cancelled; once
  // it has returned the connection is closed here. One that does not return in time is left.
  void CloseForEnd() {
    std::unique_lock<std::timed_mutex> use(use_, std::defer_lock);
    if (!use.try_lock_for(kEndWait)) return;
    ShutDownLocked();
  }

 private:
  // A call that the program's end cancelled never returns: its failure was none of the
  // printer's, and the program ends before anything could report it.
  static void AwaitTheEnd() {
    if (!OpenConnections().ending) return;
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  }

  bool OpenOnce(TransportMode mode) {
    std::lock_guard<std::timed_mutex> use(use_);
    mode_ = mode;
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (opened_) return Fail(TransportFailure::Other);  // a connection opens once
    opened_ = true;
    {
      // Known from the start, so that the program's end finds a connection half open as well.
      Connections &connections = OpenConnections();
      std::lock_guard<std::mutex> lock(connections.mutex);
      if (connections.ending) return Fail(TransportFailure::Cancelled);
      connections.open.insert(this);
    }
    const TransportFailure failure = OpenLocked();
    if (failure != TransportFailure::None) {
      ShutDownLocked();
      return Fail(failure);
    }
    return true;
  }

  bool WriteOnce(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
                 uint32_t *written) {
    *written = 0;
    std::lock_guard<std::timed_mutex> use(use_);
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (handle_ == nullptr) return Fail(TransportFailure::Gone);
    if (length > INT_MAX) return Fail(TransportFailure::Other);
    // libusb's time-out 0 waits as long as the device takes.
    const unsigned int limit = mode_ == TransportMode::RequestReply ? timeoutMs : 0;
    int actual = 0;
    // An OUT transfer only reads its buffer.
    const bool done = Transfer(interface_.out, const_cast<unsigned char *>(bytes),
                               static_cast<int>(length), limit, &actual);
    *written = static_cast<uint32_t>(actual);
    if (done && *written != length) return Fail(TransportFailure::Other);
    return done;
  }

  // The pieces of a firmware transfer, submitted in order with up to kPiecesInFlight in flight,
  // and taken in order: a piece is counted when it has completed, the oldest first. The stall
  // clock runs while the oldest piece is in flight and restarts when it completes. A piece that
  // ends otherwise than whole cancels every piece after it, and no piece is submitted after it:
  // on one endpoint the host controller moves them in order, so none of them gets ahead of the
  // lost one. Whatever ended them, every piece's end is awaited before this returns, and what
  // any piece moved is told.
  bool WritePiecesOnce(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                       uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                       void *context) {
    using Clock = std::chrono::steady_clock;
    std::lock_guard<std::timed_mutex> use(use_);
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (handle_ == nullptr) return Fail(TransportFailure::Gone);
    if (pieceBytes == 0 || pieceBytes > INT_MAX) return Fail(TransportFailure::Other);
    for (Piece &piece : pieces_) {
      if (piece.transfer == nullptr) piece.transfer = libusb_alloc_transfer(0);
      if (piece.transfer == nullptr) return Fail(TransportFailure::Other);
    }
    // As Write: in the mode of writes alone, as long as the driver takes.
    const uint32_t limit = mode_ == TransportMode::RequestReply ? stallMs : 0;
    TransportFailure failure = TransportFailure::None;
    bool stopped = false, timedOut = false;
    uint32_t next = 0;
    size_t oldest = 0, inFlight = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limit);
    for (;;) {
      while (failure == TransportFailure::None && !stopped && inFlight < kPiecesInFlight &&
             next < length) {
        Piece &piece = pieces_[(oldest + inFlight) % kPiecesInFlight];
        piece.completed = 0;
        piece.length = std::min(pieceBytes, length - next);
        // An OUT transfer only reads its buffer.
        libusb_fill_bulk_transfer(piece.transfer, handle_, interface_.out,
                                  const_cast<unsigned char *>(bytes + next),
                                  static_cast<int>(piece.length), OnTransferDone,
                                  &piece.completed, 0);
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        if (cancelled_) {
          failure = TransportFailure::Cancelled;
          break;
        }
        const int submitted = libusb_submit_transfer(piece.transfer);
        if (submitted != 0) {
          failure = FailureOf(submitted);
          break;
        }
        piece.inFlight = true;
        piece.order = ++submitted_;
        if (inFlight == 0) deadline = Clock::now() + std::chrono::milliseconds(limit);
        next += piece.length;
        ++inFlight;
      }
      if (inFlight == 0) break;

      Piece &piece = pieces_[oldest];
      if (!AwaitPiece(piece, limit, deadline, &timedOut)) {
        // Its end never came: the system may still read the caller's bytes. Those pieces are
        // left to it, and the connection is of no further use.
        for (Piece &left : pieces_) {
          if (left.inFlight && left.completed == 0) left.transfer = nullptr;
          left.inFlight = false;
        }
        handle_ = nullptr;
        return Fail(TransportFailure::Other);
      }
      {
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        piece.inFlight = false;
      }
      oldest = (oldest + 1) % kPiecesInFlight;
      --inFlight;
      const uint32_t moved = static_cast<uint32_t>(std::max(piece.transfer->actual_length, 0));
      const bool whole = piece.transfer->status == LIBUSB_TRANSFER_COMPLETED &&
                         moved == piece.length;
      if (moved > 0 && !onTaken(context, moved)) stopped = true;
      if (whole) {
        deadline = Clock::now() + std::chrono::milliseconds(limit);
        continue;
      }
      if (failure == TransportFailure::None) {
        failure = PieceFailure(piece.transfer->status, timedOut);
        // Nothing after a lost piece may reach the printer.
        std::lock_guard<std::mutex> lock(inFlightMutex_);
        CancelPiecesLocked();
      }
    }
    if (failure != TransportFailure::None) return Fail(failure);
    return !stopped || next >= length;
  }

  // Handles the connection's events until the piece has ended; past the deadline (limit 0:
  // none), every piece in flight is cancelled and their ends awaited. False when events cannot
  // be handled and the piece never ended.
  bool AwaitPiece(Piece &piece, uint32_t limit, std::chrono::steady_clock::time_point deadline,
                  bool *timedOut) {
    using Clock = std::chrono::steady_clock;
    while (piece.completed == 0) {
      int handled;
      if (limit == 0 || *timedOut) {
        handled = libusb_handle_events_completed(context_, &piece.completed);
      } else {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        timeval wait = {};
        if (left.count() > 0) {
          wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
          wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        }
        handled = libusb_handle_events_timeout_completed(context_, &wait, &piece.completed);
        if (piece.completed == 0 && left.count() <= 0) {
          *timedOut = true;
          std::lock_guard<std::mutex> lock(inFlightMutex_);
          CancelPiecesLocked();
        }
      }
      if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
        {
          std::lock_guard<std::mutex> lock(inFlightMutex_);
          CancelPiecesLocked();
        }
        while (piece.completed == 0 &&
               libusb_handle_events_completed(context_, &piece.completed) >= 0) {
        }
        return piece.completed != 0;
      }
    }
    return true;
  }

  // Cancels every piece in flight, the newest first. The host controller moves the pieces of one
  // endpoint in order: were an older piece cancelled first, a newer one could still move after
  // it and put its bytes where the older one's belong. Cancelled from the newest, what reaches
  // the printer is always the beginning of what was submitted. Under inFlightMutex_.
  void CancelPiecesLocked() {
    Piece *newestFirst[kPiecesInFlight];
    size_t count = 0;
    for (Piece &piece : pieces_) {
      if (piece.inFlight) newestFirst[count++] = &piece;
    }
    std::sort(newestFirst, newestFirst + count,
              [](const Piece *a, const Piece *b) { return a->order > b->order; });
    for (size_t i = 0; i < count; ++i) libusb_cancel_transfer(newestFirst[i]->transfer);
  }

  TransportFailure PieceFailure(int status, bool timedOut) const {
    switch (status) {
      case LIBUSB_TRANSFER_TIMED_OUT: return TransportFailure::TimedOut;
      case LIBUSB_TRANSFER_CANCELLED:
        return cancelled_  ? TransportFailure::Cancelled
               : timedOut ? TransportFailure::TimedOut
                          : TransportFailure::Other;
      case LIBUSB_TRANSFER_NO_DEVICE:
      case LIBUSB_TRANSFER_ERROR: return TransportFailure::Gone;
      default: return TransportFailure::Other;  // completed short, stalled, overflowed
    }
  }

  bool ReadOnce(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs, uint32_t *count) {
    *count = 0;
    std::lock_guard<std::timed_mutex> use(use_);
    failure_ = TransportFailure::None;
    if (cancelled_) return Fail(TransportFailure::Cancelled);
    if (handle_ == nullptr) return Fail(TransportFailure::Gone);
    const auto in = [this](unsigned char *into, size_t length, uint32_t wait, size_t *actual) {
      *actual = 0;
      if (length > INT_MAX) return Fail(TransportFailure::Other);
      int moved = 0;
      const bool done = Transfer(interface_.in, into, static_cast<int>(length), wait, &moved);
      *actual = static_cast<size_t>(moved);
      return done;
    };
    if (!reads_.Read(buffer, capacity, timeoutMs, count, in)) return false;
    // Bytes that came before a time-out or a cancel are a block all the same.
    failure_ = TransportFailure::None;
    return true;
  }

  bool Fail(TransportFailure failure) {
    failure_ = failure;
    return false;
  }

  libusb_device *FindDevice() {
    libusb_device **devices = nullptr;
    const ssize_t count = libusb_get_device_list(context_, &devices);
    libusb_device *found = nullptr;
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
      if (libusb_get_bus_number(devices[i]) != place_.bus) continue;
      uint8_t ports[kMaxPortDepth];
      const int depth = libusb_get_port_numbers(devices[i], ports, kMaxPortDepth);
      if (depth > 0 && static_cast<size_t>(depth) == place_.ports.size() &&
          std::equal(place_.ports.begin(), place_.ports.end(), ports)) {
        found = libusb_ref_device(devices[i]);
      }
    }
    if (count >= 0) libusb_free_device_list(devices, 1);
    return found;
  }

  TransportFailure OpenLocked() {
    if (libusb_init(&context_) != 0) {
      context_ = nullptr;
      return TransportFailure::Other;
    }
    libusb_device *device = FindDevice();
    if (device == nullptr) return TransportFailure::Gone;
    int result = libusb_open(device, &handle_);
    if (result == 0 && !FindPrinterInterface(device, &interface_)) {
      result = LIBUSB_ERROR_NOT_FOUND;
    }
    libusb_unref_device(device);
    if (result != 0) return FailureOf(result);

    // A kernel driver on the interface (usblp) keeps libusb out unless it is detached. libusb
    // reports usbfs, another program's claim, as no kernel driver: that claim makes the claim
    // below fail (Busy), and the other program keeps its printer.
    const int active = libusb_kernel_driver_active(handle_, interface_.number);
    if (active == 1) {
      if (!place_.detachKernelDriver) return TransportFailure::Busy;
      result = libusb_detach_kernel_driver(handle_, interface_.number);
      if (result == 0) {
        detached_ = true;
      } else if (result != LIBUSB_ERROR_NOT_FOUND) {  // gone in the meantime
        return FailureOf(result);
      }
    }
    result = libusb_claim_interface(handle_, interface_.number);
    if (result != 0) return FailureOf(result);
    claimed_ = true;
    reads_.Start(static_cast<size_t>(interface_.inPacketBytes));
    // As the usblp driver does: the alternate setting is chosen only where there is a choice.
    if (interface_.severalAlternates) {
      result = libusb_set_interface_alt_setting(handle_, interface_.number, interface_.alternate);
      if (result != 0) return FailureOf(result);
    }
    return TransportFailure::None;
  }

  // Releases the interface, gives a detached kernel driver its interface back and closes the
  // device; with use_ held. Nothing happens twice. The connection stays among the open ones
  // until Close: a failed Open leaves it there, harmlessly closed.
  void ShutDownLocked() {
    if (handle_ != nullptr) {
      if (claimed_) libusb_release_interface(handle_, interface_.number);
      if (detached_) libusb_attach_kernel_driver(handle_, interface_.number);
      libusb_close(handle_);
    }
    claimed_ = detached_ = false;
    handle_ = nullptr;
    if (transfer_ != nullptr) libusb_free_transfer(transfer_);
    transfer_ = nullptr;
    for (Piece &piece : pieces_) {
      if (piece.transfer != nullptr) libusb_free_transfer(piece.transfer);
      piece.transfer = nullptr;
    }
    if (context_ != nullptr) libusb_exit(context_);
    context_ = nullptr;
  }

  // One bulk transfer of length bytes, submitted once and waited for until it ends: complete,
  // timed out (timeoutMs; 0 never), cancelled, or failed. *actual receives the bytes it moved,
  // also when it did not complete. The time-out is kept here, not by libusb: libusb would arm
  // and disarm a timer for each transfer, two system calls more for every 4096 bytes of firmware.
  // The one transfer is made once and used for every call: one is in flight at a time.
  bool Transfer(unsigned char endpoint, unsigned char *buffer, int length, unsigned int timeoutMs,
                int *actual) {
    using Clock = std::chrono::steady_clock;
    *actual = 0;
    if (transfer_ == nullptr) transfer_ = libusb_alloc_transfer(0);
    if (transfer_ == nullptr) return Fail(TransportFailure::Other);
    int completed = 0;
    libusb_fill_bulk_transfer(transfer_, handle_, endpoint, buffer, length, OnTransferDone,
                              &completed, 0);
    {
      std::lock_guard<std::mutex> lock(inFlightMutex_);
      if (cancelled_) return Fail(TransportFailure::Cancelled);
      const int submitted = libusb_submit_transfer(transfer_);
      if (submitted != 0) return Fail(FailureOf(submitted));
      inFlight_ = transfer_;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    while (completed == 0) {
      int handled;
      if (timeoutMs == 0 || timedOut) {
        handled = libusb_handle_events_completed(context_, &completed);
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - Clock::now());
        timeval wait = {};
        if (left.count() > 0) {
          wait.tv_sec = static_cast<time_t>(left.count() / 1000000);
          wait.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        }
        handled = libusb_handle_events_timeout_completed(context_, &wait, &completed);
        if (completed == 0 && left.count() <= 0) {
          // Its end is awaited after the cancel: until then the system may use the buffer.
          timedOut = true;
          libusb_cancel_transfer(transfer_);
        }
      }
      if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
        // Events cannot be handled: the transfer is cancelled and its end awaited, as libusb's
        // own synchronous calls do.
        libusb_cancel_transfer(transfer_);
        while (completed == 0 && libusb_handle_events_completed(context_, &completed) >= 0) {
        }
        break;
      }
    }
    {
      std::lock_guard<std::mutex> lock(inFlightMutex_);
      inFlight_ = nullptr;
    }
    if (completed == 0) {
      // Its end never came: the system may still write into the buffer, so neither is let go.
      transfer_ = nullptr;
      return Fail(TransportFailure::Other);
    }
    *actual = transfer_->actual_length;
    switch (transfer_->status) {
      case LIBUSB_TRANSFER_COMPLETED: return true;
      case LIBUSB_TRANSFER_TIMED_OUT: return Fail(TransportFailure::TimedOut);
      case LIBUSB_TRANSFER_CANCELLED:
        return Fail(cancelled_  ? TransportFailure::Cancelled
                    : timedOut ? TransportFailure::TimedOut
                               : TransportFailure::Other);
      case LIBUSB_TRANSFER_NO_DEVICE:
      case LIBUSB_TRANSFER_ERROR: return Fail(TransportFailure::Gone);
      default: return Fail(TransportFailure::Other);
    }
  }

  const LibusbPrinterPlace place_;
  TransportMode mode_ = TransportMode::RequestReply;
  // Held by Open, Write, Read and Close (one thread's calls), and by the program's end, which
  // waits for the call in progress to return before it closes the connection.
  std::timed_mutex use_;
  std::mutex inFlightMutex_;
  uint64_t submitted_ = 0;  // pieces submitted, for their order
  libusb_transfer *transfer_ = nullptr;
  libusb_transfer *inFlight_ = nullptr;
  Piece pieces_[kPiecesInFlight];  // inFlight under inFlightMutex_, for Cancel
  std::atomic<bool> cancelled_{false};
  bool opened_ = false;
  libusb_context *context_ = nullptr;
  libusb_device_handle *handle_ = nullptr;
  PrinterInterface interface_;
  bool claimed_ = false;
  bool detached_ = false;
  BulkInReader reads_;
  TransportFailure failure_ = TransportFailure::None;
};

}  // namespace

std::unique_ptr<PrinterTransport> NewLibusbTransport(const LibusbPrinterPlace &place) {
  return std::unique_ptr<PrinterTransport>(new LibusbTransport(place));
}

void ReleaseLibusbConnections() {
  Connections &connections = OpenConnections();
  std::unique_lock<std::mutex> lock(connections.mutex);
  connections.ending = true;
  // Every call in progress ends first, so that no connection waits for another's.
  for (LibusbTransport *connection : connections.open) connection->Cancel();
  const std::set<LibusbTransport *> open = connections.open;
  for (LibusbTransport *connection : open) connection->CloseForEnd();
  connections.open.clear();
  // Those that their own thread is closing just now.
  connections.closed.wait_for(lock, kEndWait, [&] { return connections.closing == 0; });
}
