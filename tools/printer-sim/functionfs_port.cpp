// A USB printer interface made in user space through FunctionFS.
#include "functionfs_port.h"

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// The printer class's own control requests, and the interface it names.
constexpr uint8_t kGetDeviceId = 0;
constexpr uint8_t kGetPortStatus = 1;
constexpr uint8_t kSoftReset = 2;
constexpr uint8_t kPrinterSubclass = 1;
constexpr uint8_t kBidirectionalProtocol = 2;
// Port status: selected, no error, paper present.
constexpr uint8_t kPortStatusReady = 0x18;
// Full-speed and high-speed bulk packets. dummy_hcd plays a high-speed bus, so 512 is the
// packet a reply block ends on.
constexpr uint16_t kFullSpeedPacket = 64;
constexpr uint16_t kHighSpeedPacket = 512;
// Endpoint files are named in the order the descriptors give the endpoints: IN first.
constexpr const char *kInFile = "/ep1";
constexpr const char *kOutFile = "/ep2";

void Put16(std::vector<unsigned char> &bytes, uint16_t value) {
  const uint16_t le = htole16(value);
  const auto *p = reinterpret_cast<const unsigned char *>(&le);
  bytes.insert(bytes.end(), p, p + sizeof le);
}
void Put32(std::vector<unsigned char> &bytes, uint32_t value) {
  const uint32_t le = htole32(value);
  const auto *p = reinterpret_cast<const unsigned char *>(&le);
  bytes.insert(bytes.end(), p, p + sizeof le);
}
void Patch32(std::vector<unsigned char> &bytes, size_t at, uint32_t value) {
  const uint32_t le = htole32(value);
  std::memcpy(bytes.data() + at, &le, sizeof le);
}

// The interface and its two endpoints at one speed.
void PutInterface(std::vector<unsigned char> &bytes, uint16_t packet) {
  const unsigned char interface[] = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2,
                                     USB_CLASS_PRINTER, kPrinterSubclass,
                                     kBidirectionalProtocol, 1};
  bytes.insert(bytes.end(), interface, interface + sizeof interface);
  for (const unsigned char address : {static_cast<unsigned char>(1 | USB_DIR_IN),
                                      static_cast<unsigned char>(2 | USB_DIR_OUT)}) {
    bytes.insert(bytes.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address,
                               USB_ENDPOINT_XFER_BULK});
    Put16(bytes, packet);
    bytes.push_back(0);  // bInterval
  }
}

std::vector<unsigned char> Descriptors() {
  std::vector<unsigned char> bytes;
  Put32(bytes, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Put32(bytes, 0);  // the length, once known
  Put32(bytes, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  Put32(bytes, 3);  // descriptors at full speed
  Put32(bytes, 3);  // and at high speed
  PutInterface(bytes, kFullSpeedPacket);
  PutInterface(bytes, kHighSpeedPacket);
  Patch32(bytes, 4, static_cast<uint32_t>(bytes.size()));
  return bytes;
}

// The interface's name, its one string.
std::vector<unsigned char> Strings() {
  std::vector<unsigned char> bytes;
  Put32(bytes, FUNCTIONFS_STRINGS_MAGIC);
  Put32(bytes, 0);
  Put32(bytes, 1);  // strings
  Put32(bytes, 1);  // languages
  Put16(bytes, 0x0409);
  const char name[] = "Printer";
  bytes.insert(bytes.end(), name, name + sizeof name);
  Patch32(bytes, 4, static_cast<uint32_t>(bytes.size()));
  return bytes;
}

bool WriteBlob(int fd, const std::vector<unsigned char> &bytes, const char *what) {
  if (write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) return true;
  std::fprintf(stderr, "FunctionFS %s: %s\n", what, std::strerror(errno));
  return false;
}

}  // namespace

bool FunctionFsPort::Start(const std::string &directory, const std::string &deviceId) {
  deviceId_ = deviceId;
  ep0_ = open((directory + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (ep0_ < 0) {
    std::perror((directory + "/ep0").c_str());
    return false;
  }
  if (!WriteBlob(ep0_, Descriptors(), "descriptors") || !WriteBlob(ep0_, Strings(), "strings")) {
    return false;
  }
  in_ = open((directory + kInFile).c_str(), O_RDWR | O_CLOEXEC);
  out_ = open((directory + kOutFile).c_str(), O_RDWR | O_CLOEXEC);
  if (in_ < 0 || out_ < 0) {
    std::perror((directory + (in_ < 0 ? kInFile : kOutFile)).c_str());
    return false;
  }
  // It runs until the program ends, blocked in its read of ep0 in between.
  std::thread(&FunctionFsPort::AnswerControlRequests, this).detach();
  return true;
}

// A request the function does not answer is stalled: FunctionFS stalls an IN request on a read
// of ep0 and an OUT request on a write. A read acknowledges an OUT request without data.
void FunctionFsPort::AnswerControlRequests() {
  usb_functionfs_event events[4];
  for (;;) {
    const ssize_t n = read(ep0_, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
      const usb_functionfs_event &event = events[i];
      if (event.type == FUNCTIONFS_UNBIND) unbound_ = true;
      if (event.type == FUNCTIONFS_BIND) unbound_ = false;
      if (event.type != FUNCTIONFS_SETUP) continue;
      const usb_ctrlrequest &setup = event.u.setup;
      const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
      const bool classRequest = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS;
      const size_t wanted = le16toh(setup.wLength);
      std::vector<unsigned char> answer;
      if (classRequest && in && setup.bRequest == kGetDeviceId) {
        // Its length first, two bytes big-endian, counting themselves.
        const size_t length = deviceId_.size() + 2;
        answer = {static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
        answer.insert(answer.end(), deviceId_.begin(), deviceId_.end());
      } else if (classRequest && in && setup.bRequest == kGetPortStatus) {
        answer = {kPortStatusReady};
      } else if (classRequest && !in && setup.bRequest == kSoftReset) {
        if (read(ep0_, nullptr, 0) < 0) std::perror("FunctionFS soft reset");
        continue;
      } else {
        const ssize_t stalled = in ? read(ep0_, nullptr, 0) : write(ep0_, nullptr, 0);
        (void)stalled;
        continue;
      }
      if (answer.size() > wanted) answer.resize(wanted);
      if (write(ep0_, answer.data(), answer.size()) < 0) std::perror("FunctionFS ep0");
    }
  }
}
