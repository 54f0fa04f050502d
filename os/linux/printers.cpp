// The Linux backend's discovery: the Korvex printers on the USB buses, found in sysfs, each
// listed once with its way: through the usblp driver where usblp has its printer interface
// (/sys/class/usbmisc/lpN, opened as /dev/usb/lpN: os/linux/usblp.cpp), else through libusb (the
// interface's bulk endpoints through usbfs, /dev/bus/usb/BBB/DDD: os/libusb), or every printer
// the way korvex was told; and why others are left out. The sysfs work stays here, so that the
// libusb connection knows nothing of Linux. KORVEX_SYSFS and KORVEX_DEV select another sysfs
// root and device root, for tests.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "device/transport.h"
#include "os/libusb/libusb_transport.h"
#include "os/linux/usblp.h"

// Through libusb: where it is plugged in, and the usblp node of the interface when usblp has it
// (korvex was asked for libusb), kept closed to others while usblp is detached.
struct BackendPrinter {
  std::string via;
  std::string node;
  LibusbPrinterPlace place;
  std::string usblpNode;
};

namespace {

constexpr char kInterfaceGuid[] = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string Root(const char *variable, const char *fallback) {
  const char *value = std::getenv(variable);
  return value != nullptr && value[0] != 0 ? value : fallback;
}

std::string SysfsRoot() { return Root("KORVEX_SYSFS", "/sys"); }
std::string DeviceRoot() { return Root("KORVEX_DEV", "/dev"); }

// The first line of a sysfs attribute, or empty.
std::string ReadValue(const std::string &path) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return std::string();
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

std::string Lower(std::string text) {
  for (char &c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return text;
}

bool IsHexId(const std::string &id) {
  return id.size() == 4 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

std::wstring Widen(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// The device path of a printer: the form of a Windows USB printer interface path, with the
// vendor and product digits where discovery reads them, and a name from the serial number that
// stands between '#' delimiters: only plain characters, and not too many of them.
std::string DevicePath(const std::string &vid, const std::string &pid, const std::string &name) {
  return "\\\\?\\usb#vid_" + vid + "&pid_" + pid + "#" + name + "#" + kInterfaceGuid;
}

std::string SerialName(const std::string &serial) {
  std::string name = Lower(serial);
  for (char &c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                       c == '-';
    if (!plain) c = '_';
  }
  return name.substr(0, 64);
}

bool Admitted(const std::string &vid, const std::string &pid) {
  return AdmitsDevicePath(Widen(DevicePath(vid, pid, "x")).c_str());
}

// lpN entries of a directory, in the kernel's order (by N).
std::vector<std::string> PrinterNames(const std::string &directory) {
  std::vector<std::pair<long, std::string>> found;
  if (DIR *dir = opendir(directory.c_str())) {
    while (dirent *entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.size() < 3 || name.compare(0, 2, "lp") != 0) continue;
      if (!std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        continue;
      found.emplace_back(std::strtol(name.c_str() + 2, nullptr, 10), name);
    }
    closedir(dir);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (const auto &entry : found) names.push_back(entry.second);
  return names;
}

std::string UserName() {
  if (const passwd *user = getpwuid(getuid())) return user->pw_name;
  return "$USER";
}

std::string Basename(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The entries of a directory but . and .., sorted.
std::vector<std::string> Entries(const std::string &directory) {
  std::vector<std::string> entries;
  if (DIR *dir = opendir(directory.c_str())) {
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.') entries.push_back(entry->d_name);
    }
    closedir(dir);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string Resolved(const std::string &path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? resolved : std::string();
}

// The kernel driver bound to a USB interface ("usblp"; "usbfs" for a program's claim through
// libusb), or empty.
std::string DriverOf(const std::string &interface) {
  char target[PATH_MAX];
  const ssize_t n = readlink((interface + "/driver").c_str(), target, sizeof target - 1);
  return n > 0 ? Basename(std::string(target, static_cast<size_t>(n))) : std::string();
}

// The printer-class interfaces of a USB device of sysfs, BUS-PORTS:CONFIG.NUMBER, with the
// protocol each is set to now.
struct PrinterInterfaceEntry {
  std::string path;
  std::string protocol;  // two hex digits: 01 unidirectional ... 04 IPP over USB
};
std::vector<PrinterInterfaceEntry> PrinterInterfaces(const std::string &device,
                                                     const std::string &deviceName) {
  std::vector<PrinterInterfaceEntry> found;
  for (const std::string &name : Entries(device)) {
    if (name.compare(0, deviceName.size() + 1, deviceName + ":") != 0) continue;
    const std::string interface = device + "/" + name;
    if (ReadValue(interface + "/bInterfaceClass") != "07") continue;
    found.push_back({interface, ReadValue(interface + "/bInterfaceProtocol")});
  }
  return found;
}

// The protocols the usblp driver takes, and that raw traffic needs: unidirectional,
// bidirectional and IEEE 1284.4; not IPP over USB.
bool RawProtocol(const std::string &protocol) {
  return protocol == "01" || protocol == "02" || protocol == "03";
}

// A protocol as sysfs writes it (two hex digits) as a number; -1 for anything else.
int ProtocolNumber(const std::string &text) {
  if (text.size() != 2 || !std::isxdigit(static_cast<unsigned char>(text[0])) ||
      !std::isxdigit(static_cast<unsigned char>(text[1]))) {
    return -1;
  }
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
}

// BUS-PORT.PORT... (sysfs's name of a USB device) as libusb tells the same place; false for a
// root hub's name (usbN) or anything else.
bool PlaceOf(const std::string &deviceName, LibusbPrinterPlace *place) {
  const size_t dash = deviceName.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == deviceName.size()) return false;
  const std::string numbers = "0123456789";
  if (deviceName.find_first_not_of(numbers + "-.") != std::string::npos) return false;
  const long bus = std::strtol(deviceName.c_str(), nullptr, 10);
  if (bus <= 0 || bus > 255) return false;
  place->bus = static_cast<uint8_t>(bus);
  place->ports.clear();
  size_t at = dash + 1;
  while (at < deviceName.size()) {
    size_t end = deviceName.find('.', at);
    if (end == std::string::npos) end = deviceName.size();
    if (end == at) return false;
    const long port = std::strtol(deviceName.c_str() + at, nullptr, 10);
    if (port <= 0 || port > 255) return false;
    place->ports.push_back(static_cast<uint8_t>(port));
    at = end + 1;
  }
  return !place->ports.empty();
}

// Why a device node this user may not read and write is left out, and what to do. Without udev
// (or without a rule for the printer) devtmpfs makes the node root's alone (mode 0600), and
// joining its group would not help.
std::string NoAccessReason(const std::string &node, const struct stat &status) {
  const group *owner = getgrgid(status.st_gid);
  const std::string groupName = owner ? owner->gr_name : std::to_string(status.st_gid);
  if ((status.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && status.st_gid != 0) {
    return "you may not read and write " + node + "; it belongs to the group " + groupName +
           ": sudo usermod -aG " + groupName + " " + UserName() + ", then log out and back in";
  }
  return "you may not read and write " + node +
         ", which is root's alone. The udev rule 60-korvex.rules (in /lib/udev/rules.d with the "
         "korvex package) gives Korvex printers to the group lp: with it in place, unplug the "
         "printer and plug it in again, then sudo usermod -aG lp " + UserName() +
         ", log out and back in";
}

enum class Way { Own, Usblp, Libusb };
std::atomic<Way> chosenWay{Way::Own};

// One listing's findings.
struct Listing {
  InterfaceListing found;
  std::set<std::string> names;  // the device paths' names taken
  // The USB devices (resolved sysfs paths) whose printer interface usblp has, with its node.
  std::map<std::string, std::string> usblpNodes;

  // The name of a printer in its device path: from its serial number, else fallback; another
  // printer's name gets the fallback added.
  std::string NameFor(const std::string &serial, const std::string &fallback) const {
    std::string name = SerialName(serial);
    if (name.empty()) name = fallback;
    if (names.count(name)) name += "_" + fallback;
    return name;
  }
  void Add(const std::string &vid, const std::string &pid, const std::string &name,
           const PrinterPortInfo &info, const LibusbPrinterPlace &place = LibusbPrinterPlace(),
           const std::string &usblpNode = std::string()) {
    names.insert(name);
    found.printers.push_back({Widen(DevicePath(vid, pid, name)), info,
                              std::make_shared<const BackendPrinter>(
                                  BackendPrinter{info.via, info.node, place, usblpNode})});
  }
  void LeaveOut(const std::string &id, const std::string &reason) {
    found.leftOut.push_back({id, reason});
  }
};

// A USB device's bus and device number, "BUS:DEV": the device number is new at every
// enumeration, so a printer that restarted has another one, however quickly it came back.
std::string InstanceOf(const std::string &device) {
  const std::string bus = ReadValue(device + "/busnum");
  const std::string number = ReadValue(device + "/devnum");
  return bus.empty() || number.empty() ? std::string() : bus + ":" + number;
}

// The printers of the usblp driver, /sys/class/usbmisc/lpN in the kernel's order. With the
// libusb way chosen, they are only noted, for the libusb way to find them.
void ListUsblpPrinters(Listing *listing, bool note) {
  const std::string sysfs = SysfsRoot();
  const std::string classDirectory = sysfs + "/class/usbmisc";
  for (const std::string &lp : PrinterNames(classDirectory)) {
    // lpN/device is the USB interface; its parent directory is the USB device.
    std::string usb = Resolved(classDirectory + "/" + lp + "/device");
    if (!usb.empty()) usb = usb.substr(0, usb.rfind('/'));
    const std::string node = DeviceRoot() + "/usb/" + lp;
    if (!usb.empty()) listing->usblpNodes[usb] = node;
    if (note) continue;
    const std::string vid = Lower(ReadValue(usb + "/idVendor"));
    const std::string pid = Lower(ReadValue(usb + "/idProduct"));
    if (usb.empty() || !IsHexId(vid) || !IsHexId(pid)) {
      listing->LeaveOut(lp, "no USB vendor and product id found for it in " + sysfs);
      continue;
    }
    const std::string serial = ReadValue(usb + "/serial");
    const std::string name = listing->NameFor(serial, lp);
    if (!Admitted(vid, pid)) {
      listing->LeaveOut(lp, vid + ":" + pid + " is not a printer this program works with");
      continue;
    }
    struct stat status;
    if (stat(node.c_str(), &status) != 0) {
      listing->LeaveOut(lp, vid + ":" + pid + " has no device file " + node);
      continue;
    }
    if (access(node.c_str(), R_OK | W_OK) != 0) {
      listing->LeaveOut(lp, vid + ":" + pid + ": " + NoAccessReason(node, status));
      continue;
    }
    PrinterPortInfo info = {lp, serial, node, Basename(usb), "usblp", InstanceOf(usb)};
    const std::string interface = classDirectory + "/" + lp + "/device";
    info.protocol = ProtocolNumber(ReadValue(interface + "/bInterfaceProtocol"));
    listing->Add(vid, pid, name, info);
  }
}

// The printers libusb reaches: every USB device with a printer interface of a raw protocol that
// no kernel driver has (or, with the libusb way chosen, that usblp has too), in the order of
// their sysfs names. Its device node, /dev/bus/usb/BBB/DDD, is what libusb opens.
void ListLibusbPrinters(Listing *listing, bool libusbChosen) {
  const std::string sysfs = SysfsRoot();
  const std::string devices = sysfs + "/bus/usb/devices";
  for (const std::string &deviceName : Entries(devices)) {
    const std::string device = devices + "/" + deviceName;
    const auto usblp = listing->usblpNodes.find(Resolved(device));
    const bool usblpHasIt = usblp != listing->usblpNodes.end();
    if (usblpHasIt && !libusbChosen) continue;
    LibusbPrinterPlace place;
    if (!PlaceOf(deviceName, &place)) continue;
    std::string interface, protocol;
    for (const PrinterInterfaceEntry &each : PrinterInterfaces(device, deviceName)) {
      if (RawProtocol(each.protocol)) {
        interface = each.path;
        protocol = each.protocol;
        break;
      }
    }
    if (interface.empty()) continue;
    const std::string id = "usb:" + deviceName;
    const std::string vid = Lower(ReadValue(device + "/idVendor"));
    const std::string pid = Lower(ReadValue(device + "/idProduct"));
    if (!IsHexId(vid) || !IsHexId(pid)) {
      listing->LeaveOut(id, "no USB vendor and product id found for it in " + sysfs);
      continue;
    }
    if (!Admitted(vid, pid)) {
      listing->LeaveOut(id, vid + ":" + pid + " is not a printer this program works with");
      continue;
    }
    const std::string driver = DriverOf(interface);
    if (driver == "usbfs") {
      listing->LeaveOut(
          id, vid + ":" + pid + ": another program holds its printer interface through libusb "
                                "(the IPP-over-USB daemon ipp-usb, a CUPS print job or another "
                                "korvex); it is left alone until that program lets it go");
      continue;
    }
    // usblp binds as the printer is plugged in; its lpN is there a moment later.
    if (driver == "usblp" && !libusbChosen) continue;
    if (!driver.empty() && driver != "usblp") {
      listing->LeaveOut(id, vid + ":" + pid + ": its printer interface belongs to the "
                                                        "kernel driver " + driver);
      continue;
    }
    const std::string bus = ReadValue(device + "/busnum");
    const std::string number = ReadValue(device + "/devnum");
    if (bus.empty() || number.empty()) {
      listing->LeaveOut(id, vid + ":" + pid + ": no USB bus and device number found "
                                                        "for it in " + sysfs);
      continue;
    }
    char nodeName[32];
    std::snprintf(nodeName, sizeof nodeName, "/bus/usb/%03ld/%03ld",
                  std::strtol(bus.c_str(), nullptr, 10), std::strtol(number.c_str(), nullptr, 10));
    const std::string node = DeviceRoot() + nodeName;
    struct stat status;
    if (stat(node.c_str(), &status) != 0) {
      listing->LeaveOut(id, vid + ":" + pid + " has no device file " + node);
      continue;
    }
    if (access(node.c_str(), R_OK | W_OK) != 0) {
      listing->LeaveOut(id, vid + ":" + pid + ": " + NoAccessReason(node, status));
      continue;
    }
    const std::string serial = ReadValue(device + "/serial");
    std::string fallback = "usb" + deviceName;
    place.detachKernelDriver = libusbChosen;
    PrinterPortInfo info = {id, serial, node, deviceName, "libusb", InstanceOf(device)};
    info.protocol = ProtocolNumber(protocol);
    listing->Add(vid, pid, listing->NameFor(serial, fallback), info, place,
                 usblpHasIt ? usblp->second : std::string());
  }
}

// A printer reached through libusb. Where usblp has its printer interface, the libusb
// connection detaches usblp for the operation; usblp admits one open at a time, so its
// /dev/usb/lpN is held open across the detach: when another program has it open (a print job,
// another korvex), that open fails, and the printer is left alone (Busy).
class LibusbPrinter : public PrinterTransport {
 public:
  explicit LibusbPrinter(const BackendPrinter &printer)
      : usblpNode_(printer.usblpNode), connection_(NewLibusbTransport(printer.place)) {}

  bool Open(TransportMode mode) override {
    guardFailure_ = TransportFailure::None;
    int guard = -1;
    if (!usblpNode_.empty()) {
      guard = open(usblpNode_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      // A node that is gone: usblp no longer has the interface, there is nobody to keep out.
      if (guard < 0 && errno != ENOENT && errno != ENODEV && errno != ENXIO) {
        guardFailure_ = UsblpFailureOf(errno);
        return false;
      }
    }
    const bool opened = connection_->Open(mode);
    if (guard >= 0) close(guard);
    return opened;
  }
  bool Write(const unsigned char *bytes, uint32_t length, uint32_t timeoutMs,
             uint32_t *written) override {
    guardFailure_ = TransportFailure::None;
    return connection_->Write(bytes, length, timeoutMs, written);
  }
  bool Read(unsigned char *buffer, uint32_t capacity, uint32_t timeoutMs,
            uint32_t *count) override {
    guardFailure_ = TransportFailure::None;
    return connection_->Read(buffer, capacity, timeoutMs, count);
  }
  uint32_t PiecesInFlight() const override { return connection_->PiecesInFlight(); }
  bool WritePieces(const unsigned char *bytes, uint32_t length, uint32_t pieceBytes,
                   uint32_t stallMs, bool (*onTaken)(void *context, uint32_t bytes),
                   void *context) override {
    guardFailure_ = TransportFailure::None;
    return connection_->WritePieces(bytes, length, pieceBytes, stallMs, onTaken, context);
  }
  void Cancel() override { connection_->Cancel(); }
  void Close() override { connection_->Close(); }
  TransportFailure LastFailure() const override {
    return guardFailure_ != TransportFailure::None ? guardFailure_ : connection_->LastFailure();
  }

 private:
  std::string usblpNode_;
  std::unique_ptr<PrinterTransport> connection_;
  TransportFailure guardFailure_ = TransportFailure::None;
};

// ---- Why nothing is listed -----------------------------------------------------------------------

bool IppUsbRuns() {
  DIR *proc = opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (dirent *entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (ReadValue(std::string("/proc/") + entry->d_name + "/comm") == "ipp-usb") {
      found = true;
      break;
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

InterfaceListing ListInterfacesNow();

namespace {

// The printer a listing made now finds at the device path; none (no backend) when it finds
// nothing there.
ListedInterface FindListed(const wchar_t *devicePath) {
  for (ListedInterface &printer : ListInterfacesNow().printers) {
    if (printer.devicePath == devicePath) return printer;
  }
  return ListedInterface();
}

}  // namespace

InterfaceListing ListInterfacesNow() {
  const Way way = chosenWay;
  Listing listing;
  listing.found.listed = true;
  ListUsblpPrinters(&listing, way == Way::Libusb);
  if (way != Way::Usblp) ListLibusbPrinters(&listing, way == Way::Libusb);
  return listing.found;
}

std::unique_ptr<PrinterTransport> NewPrinterTransport(const ListedInterface &printer) {
  if (!printer.backend) return NewUsblpTransport(std::string());
  if (printer.backend->via == "libusb") {
    return std::unique_ptr<PrinterTransport>(new LibusbPrinter(*printer.backend));
  }
  return NewUsblpTransport(printer.backend->node);
}

// A device path alone is looked up in a listing of its own.
std::unique_ptr<PrinterTransport> NewPrinterTransport(const wchar_t *devicePath) {
  return NewPrinterTransport(FindListed(devicePath));
}

bool ChoosePrinterWay(const std::string &way) {
  if (way.empty()) {
    chosenWay = Way::Own;
  } else if (way == "usblp") {
    chosenWay = Way::Usblp;
  } else if (way == "libusb") {
    chosenWay = Way::Libusb;
  } else {
    return false;
  }
  return true;
}

// korvex's signal thread calls this before a signal ends the program outside an upgrade:
// usbfs lets a claimed interface go when the program ends, but no driver takes it again by
// itself, so a usblp that a libusb connection detached would stay detached.
void ReleaseConnectionsBeforeExit() { ReleaseLibusbConnections(); }

bool EnumeratePrinterInterfaces(bool (*visit)(void *context, const wchar_t *devicePath),
                                void *context) {
  const InterfaceListing listing = ListInterfacesNow();
  for (const ListedInterface &printer : listing.printers) {
    if (!visit(context, printer.devicePath.c_str())) break;
  }
  return true;
}

// A printer of libusb's is switched as its connection claims the interface: the bidirectional
// protocol's alternate setting is chosen there.
int SwitchToBidirectionalProtocol(const ListedInterface &printer) {
  if (!printer.backend) return 1;
  if (printer.backend->via == "libusb") return 0;
  return SwitchUsblpToBidirectional(printer.backend->node);
}

int SwitchToBidirectionalProtocol(const wchar_t *devicePath) {
  return SwitchToBidirectionalProtocol(FindListed(devicePath));
}

std::string WhyNoPrinterIsListed() {
  const std::string sysfs = SysfsRoot();
  const bool moduleLoaded = access((sysfs + "/module/usblp").c_str(), F_OK) == 0;
  // Each reason holds the printer it was seen on.
  std::string printer, held, ippOnly, unbound;
  const std::string devices = sysfs + "/bus/usb/devices";
  for (const std::string &deviceName : Entries(devices)) {
    const std::string device = devices + "/" + deviceName;
    const std::string vid = Lower(ReadValue(device + "/idVendor"));
    const std::string pid = Lower(ReadValue(device + "/idProduct"));
    if (vid.empty() || !Admitted(vid, pid)) continue;
    printer = vid + ":" + pid;
    bool rawProtocol = false, anyProtocol = false;
    for (const PrinterInterfaceEntry &interface : PrinterInterfaces(device, deviceName)) {
      anyProtocol = true;
      rawProtocol = rawProtocol || RawProtocol(interface.protocol);
      const std::string driver = DriverOf(interface.path);
      if (driver == "usbfs") held = printer;  // claimed through libusb
      if (driver.empty() && interface.protocol != "04") unbound = printer;
    }
    if (anyProtocol && !rawProtocol) ippOnly = printer;
  }
  const std::string start =
      "(at every start: echo usblp | sudo tee /etc/modules-load.d/usblp.conf)";
  if (!held.empty()) {
    const std::string who = IppUsbRuns() ? "the IPP-over-USB daemon ipp-usb, which is running"
                                         : "most likely the IPP-over-USB daemon ipp-usb";
    return "the printer " + held +
           " is connected, but a program holds its printer interface through\n"
           "  libusb, so neither the usblp driver nor korvex can have it: " + who + ". Free it:\n"
           "  sudo systemctl stop ipp-usb (to keep it off: sudo systemctl disable ipp-usb, or\n"
           "  sudo apt-get remove ipp-usb), then unplug the printer and plug it in again.\n"
           "  (A CUPS print queue on this printer holds it only while it prints.)";
  }
  if (!printer.empty() && !moduleLoaded) {
    return "the printer " + printer + " is connected, but the usblp kernel module is not loaded:\n"
           "  sudo modprobe usblp " + start + ".\n"
           "  If no printer appears then, see whether it is blacklisted: grep -r usblp "
           "/etc/modprobe.d";
  }
  if (!ippOnly.empty()) {
    return "the printer " + ippOnly +
           " is connected, but it offers only IPP over USB, which neither the usblp\n"
           "  driver nor korvex speaks; see \"Printers that start in IPP mode\" in docs/linux-printers.md";
  }
  if (!unbound.empty()) {
    return "the printer " + unbound +
           " is connected, but the usblp driver has not taken its printer\n"
           "  interface: unplug it and plug it in again";
  }
  if (!moduleLoaded) {
    return "no printer found, and the usblp kernel module is not loaded: sudo modprobe usblp\n"
           "  " + start;
  }
  return "no Korvex printer found: connect it by USB and switch it on";
}
