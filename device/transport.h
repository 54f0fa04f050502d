// The seam between the protocol and the operating system's USB printer driver: one printer's
// connection (open, write, read with a time-out, cancel, close) and the list of the printer
// interfaces present now. Each operating system has its backend under os/ (os/win32: SetupAPI
// and file I/O on the interface's device path; os/linux: sysfs, and two ways to a printer: the
// usblp driver's /dev/usb/lpN with poll(), or libusb through usbfs, os/libusb). The protocol
// above never knows which one it has.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How a connection is used: request/reply transactions, whose every write and read has a
// time-out; or writes alone (a write-only command, firmware), each waiting as long as the driver
// takes, as the printer class driver's own writes do.
enum class TransportMode { RequestReply, WritesOnly };

// Why the last Open, Write or Read of a connection failed.
enum class TransportFailure {
  None,
  Busy,         // another program has the printer open (usblp admits one open at a time) or its
                // interface claimed (libusb)
  NoAccess,     // no permission to open it
  Gone,         // not there (any more): unplugged, or not a printer this backend listed
  TimedOut,     // the time-out ran out
  Cancelled,    // Cancel was called
  // The system interrupted a write that the driver may already have carried out: whether its
  // bytes reached the printer cannot be known, so it is never written again.
  Interrupted,
  Other,
};

// The size of the usblp driver's read buffer (USBLP_BUF_SIZE_IN): a read from /dev/usb/lpN
// returns at most the rest of one USB transfer and at most this much, so a longer block arrives
// in pieces of this size and a shorter rest.
constexpr uint32_t kUsblpReadPieceBytes = 1024;

// One printer's connection. One thread uses it, but for Cancel.
class PrinterTransport {
 public:
  virtual ~PrinterTransport() = default;

  // Opens the printer for reading and writing, shared with other programs. False when it cannot
  // be opened: unplugged, no permission, or not a printer this backend listed. A connection is
  // opened at most once.
  virtual bool Open(TransportMode mode) = 0;

  // Writes length bytes. The write must end within timeoutMs; when it does not, it is cancelled
  // and its end awaited before Write returns false (TimedOut). A timeoutMs of 0, and every write
  // in WritesOnly mode, takes as long as the driver does. *written receives the
  // bytes the driver is known to have taken, on failure too. True only when the write itself
  // succeeded. A write is never repeated after the driver may have carried it out: one that the
  // system interrupts fails (Interrupted), so no byte reaches the printer twice.
  virtual bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
                     uint32_t *written) = 0;

  // Reads one transfer of at most capacity bytes as the driver delivers it: a whole message
  // from a simulated printer's pipe, one block of at most kUsblpReadPieceBytes from usblp.
  // False when nothing arrives within timeoutMs (the read is cancelled and its end awaited
  // first) or the read fails; a read that ends with no bytes is true with *count 0.
  virtual bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
                    uint32_t *count) = 0;

  // From another thread: ends the Write or Read in progress, which then fails (Cancelled), and
  // makes every later Open, Write and Read fail at once. Where the driver cannot end a write
  // (Windows' synchronous writes), that write runs on until the driver ends it; the next fails.
  virtual void Cancel() = 0;

  // Firmware in pieces that the backend keeps in flight several at a time, where it can
  // (libusb; PiecesInFlight above 1): length bytes in pieces of pieceBytes (the last one
  // shorter), the pieces Write would write one after the other. A piece counts as written only
  // once its transfer has completed: onTaken(context, bytes) is told of every piece in order as
  // it ends, with the bytes it moved (a failed or cancelled piece's too), and returning false
  // submits no further piece. Returns once no piece is in flight: true when every piece was
  // written whole; false when one failed (those after it are cancelled before they reach the
  // printer; any bytes they moved are told all the same), when none completed for stallMs
  // (TimedOut; 0 waits as long as the driver takes), or when Cancel was called; false with
  // LastFailure None when onTaken stopped it. A backend that writes one piece at a time writes
  // them with Write, one after the other.
  virtual uint32_t PiecesInFlight() const { return 1; }
  virtual bool WritePieces(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                           uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                           void *context);

  // Releases the connection; the destructor does it too.
  virtual void Close() = 0;

  // Why the last Open, Write or Read failed; None after one that succeeded.
  virtual TransportFailure LastFailure() const = 0;
};

// What the backend knows of a printer it listed, for the command line.
struct PrinterPortInfo {
  std::string id;        // what --printer takes: lpN or usb:BUS-PORTS on Linux, the device path
                         // on Windows
  std::string serial;    // the USB serial number, when the device has one
  std::string node;      // where it is opened: /dev/usb/lpN, /dev/bus/usb/BBB/DDD, or the path
  std::string port;      // where it is plugged in, the same after it restarts: its USB device on
                         // Linux (e.g. "1-2"), the device path on Windows
  std::string via;       // the way to it where a system has several: "usblp" or "libusb" on
                         // Linux; empty on Windows
  std::string instance;  // what changes when the printer restarts although it stays at its port:
                         // its USB bus and device number on Linux ("1:7"; a new device number
                         // is given at every enumeration); empty where the system does not tell
  int protocol = -1;     // the printer interface's protocol as listed (bInterfaceProtocol: 2
                         // bidirectional, 4 IPP over USB, ...); -1 where the system does not tell
};

// A printer the backend saw but does not list, and why, with what to do about it.
struct LeftOutPrinter {
  std::string id;
  std::string reason;
};

// What the backend needs to reach a printer it listed (the Linux backend: its way, its node,
// where it is plugged in); each backend defines it, the protocol never looks inside.
struct BackendPrinter;

// One printer interface as a listing found it.
struct ListedInterface {
  std::wstring devicePath;
  PrinterPortInfo info;
  std::shared_ptr<const BackendPrinter> backend;  // null where the device path says it all
};

// Everything one listing found, as a value: nothing of it is kept where another thread's listing
// could change it, so several printers' threads list and connect at once.
struct InterfaceListing {
  bool listed = false;                    // false when the system gives no list at all
  std::vector<ListedInterface> printers;  // every printer interface, in the system's order
  std::vector<LeftOutPrinter> leftOut;    // those seen but not listed (Linux: no device file,
                                          // no permission, no USB ids, another maker's)
};
InterfaceListing ListInterfacesNow();

// A connection to a printer of a listing. Not yet open.
std::unique_ptr<PrinterTransport> NewPrinterTransport(const ListedInterface &printer);
// A connection to the printer at devicePath, as the window program opens the printer it chose
// from its menu: the Windows backend opens the path itself; the Linux backend looks the path up
// in a listing made for it. Not yet open.
std::unique_ptr<PrinterTransport> NewPrinterTransport(const wchar_t *devicePath);

// Calls visit with the device path of each USB printer interface present now, in the system's
// order, for as long as visit returns true. False when the system gives no list at all. Safe to
// call from several threads, also while connections are made and used.
// A device path here has the form of a Windows USB printer interface path:
// \\?\usb#vid_XXXX&pid_YYYY#SERIAL#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}; the Linux backend
// gives each printer a path of that form.
bool EnumeratePrinterInterfaces(bool (*visit)(void *context, const wchar_t *devicePath),
                                void *context);

// Makes a printer that was just chosen ready for raw traffic: an interface in IPP-over-USB mode
// is switched back to the bidirectional protocol. 1 when the device cannot be opened for that,
// else 0. Where the driver cannot be in IPP mode (usblp) there is nothing to do; a printer
// reached through libusb is switched as its connection claims the interface.
int SwitchToBidirectionalProtocol(const wchar_t *devicePath);
int SwitchToBidirectionalProtocol(const ListedInterface &printer);

// When no printer was listed at all: why, and what to do (the Linux backend: the usblp module is
// not loaded, a program holds the interface through libusb, an IPP-only printer, ...). Lines
// separated by "\n"; empty where nothing more can be said.
std::string WhyNoPrinterIsListed();

// Where a system has more than one way to a printer (Linux: the usblp driver, or libusb), each
// printer is listed once, reached its own way (way empty: through usblp where usblp has it,
// else through libusb), or every printer the way named ("usblp", "libusb"). False for a way this
// system does not have. Called before the first listing.
bool ChoosePrinterWay(const std::string &way);

// Called by the thread that ends the program on a signal, just before it does: the backend ends
// the calls in progress of its open connections and gives back what they took from the system
// (Linux: a libusb connection's claimed interface, and the usblp driver it detached from it).
// Later opens fail. Nothing to do on Windows.
void ReleaseConnectionsBeforeExit();
