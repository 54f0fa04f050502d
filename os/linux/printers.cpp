// The Linux backend's discovery: the printers of the usblp driver, found in sysfs
// (/sys/class/usbmisc/lpN and its USB device's idVendor, idProduct and serial) and opened as
// /dev/usb/lpN (os/linux/usblp.cpp), and why others are left out.
// KORVEX_SYSFS and KORVEX_DEV select another sysfs root and device root, for tests.
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "device/transport.h"
#include "os/linux/usblp.h"

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

struct ListedPrinter {
  std::wstring devicePath;
  PrinterPortInfo info;
};

// What the last listing found; a connection is opened through it, as Wine's DOS device names
// lead from a device path to /dev/usb/lpN. Several printers' threads list and connect at once
// (a printer that restarts is looked for while the others take their firmware).
std::mutex listingMutex;
std::vector<ListedPrinter> listed;
std::vector<LeftOutPrinter> leftOut;

// A copy of what the last listing found at the device path; false when it found nothing there.
bool FindListed(const wchar_t *devicePath, ListedPrinter *found) {
  std::lock_guard<std::mutex> lock(listingMutex);
  for (const ListedPrinter &printer : listed) {
    if (printer.devicePath == devicePath) {
      *found = printer;
      return true;
    }
  }
  return false;
}

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

std::string Basename(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<PrinterTransport> NewPrinterTransport(const wchar_t *devicePath) {
  ListedPrinter printer;
  return NewUsblpTransport(FindListed(devicePath, &printer) ? printer.info.node : std::string());
}

bool EnumeratePrinterInterfaces(bool (*visit)(void *context, const wchar_t *devicePath),
                                void *context) {
  std::vector<ListedPrinter> listed;
  std::vector<LeftOutPrinter> leftOut;
  const std::string sysfs = SysfsRoot();
  const std::string classDirectory = sysfs + "/class/usbmisc";
  std::set<std::string> names;
  for (const std::string &lp : PrinterNames(classDirectory)) {
    // lpN/device is the USB interface; its parent directory is the USB device.
    char resolved[PATH_MAX];
    std::string usb;
    if (realpath((classDirectory + "/" + lp + "/device").c_str(), resolved) != nullptr) {
      usb = resolved;
      usb = usb.substr(0, usb.rfind('/'));
    }
    const std::string vid = Lower(ReadValue(usb + "/idVendor"));
    const std::string pid = Lower(ReadValue(usb + "/idProduct"));
    if (usb.empty() || !IsHexId(vid) || !IsHexId(pid)) {
      leftOut.push_back({lp, "no USB vendor and product id found for it in " + sysfs});
      continue;
    }
    const std::string serial = ReadValue(usb + "/serial");
    std::string name = SerialName(serial);
    if (name.empty()) name = lp;
    if (names.count(name)) name += "_" + lp;
    if (!Admitted(vid, pid)) {
      leftOut.push_back({lp, vid + ":" + pid + " is not a printer this program works with"});
      continue;
    }
    const std::string node = DeviceRoot() + "/usb/" + lp;
    struct stat status;
    if (stat(node.c_str(), &status) != 0) {
      leftOut.push_back({lp, vid + ":" + pid + " has no device file " + node});
      continue;
    }
    if (access(node.c_str(), R_OK | W_OK) != 0) {
      const group *owner = getgrgid(status.st_gid);
      const std::string groupName = owner ? owner->gr_name : "lp";
      leftOut.push_back({lp, vid + ":" + pid + ": you may not read and write " + node +
                                 "; it belongs to the group " + groupName + ": sudo usermod -aG " +
                                 groupName + " " + UserName() + ", then log out and back in"});
      continue;
    }
    names.insert(name);
    const std::wstring devicePath = Widen(DevicePath(vid, pid, name));
    listed.push_back({devicePath, {lp, serial, node, Basename(usb)}});
  }
  {
    std::lock_guard<std::mutex> lock(listingMutex);
    ::listed = listed;
    ::leftOut = leftOut;
  }
  for (const ListedPrinter &printer : listed) {
    if (!visit(context, printer.devicePath.c_str())) break;
  }
  return true;
}

int SwitchToBidirectionalProtocol(const wchar_t *devicePath) {
  ListedPrinter printer;
  if (!FindListed(devicePath, &printer)) return 1;
  return SwitchUsblpToBidirectional(printer.info.node);
}

TransportFailure ProbePrinter(const wchar_t *devicePath) {
  const std::unique_ptr<PrinterTransport> probe = NewPrinterTransport(devicePath);
  if (!probe->Open(TransportMode::RequestReply)) return probe->LastFailure();
  probe->Close();
  return TransportFailure::None;
}

PrinterPortInfo DescribePrinterInterface(const wchar_t *devicePath) {
  ListedPrinter printer;
  return FindListed(devicePath, &printer) ? printer.info : PrinterPortInfo();
}

std::vector<LeftOutPrinter> LeftOutPrinters() {
  std::lock_guard<std::mutex> lock(listingMutex);
  return leftOut;
}

std::string WhyNoPrinterIsListed() {
  const std::string sysfs = SysfsRoot();
  const bool moduleLoaded = access((sysfs + "/module/usblp").c_str(), F_OK) == 0;
  // Each reason holds the printer it was seen on.
  std::string printer, held, ippOnly, unbound;
  const std::string devices = sysfs + "/bus/usb/devices";
  if (DIR *dir = opendir(devices.c_str())) {
    std::vector<std::string> entries;
    while (dirent *entry = readdir(dir)) {
      if (entry->d_name[0] != '.') entries.push_back(entry->d_name);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end());
    for (const std::string &deviceName : entries) {
      const std::string device = devices + "/" + deviceName;
      const std::string vid = Lower(ReadValue(device + "/idVendor"));
      const std::string pid = Lower(ReadValue(device + "/idProduct"));
      if (vid.empty() || !Admitted(vid, pid)) continue;
      printer = vid + ":" + pid;
      std::string protocols;
      if (DIR *interfaces = opendir(device.c_str())) {
        while (dirent *entry = readdir(interfaces)) {
          const std::string name = entry->d_name;
          if (name.compare(0, deviceName.size() + 1, deviceName + ":") != 0) continue;
          const std::string interface = device + "/" + name;
          if (ReadValue(interface + "/bInterfaceClass") != "07") continue;
          const std::string protocol = ReadValue(interface + "/bInterfaceProtocol");
          protocols += " " + protocol;
          char target[PATH_MAX];
          const ssize_t n = readlink((interface + "/driver").c_str(), target, sizeof target - 1);
          const std::string driver = n > 0 ? Basename(std::string(target, static_cast<size_t>(n)))
                                           : std::string();
          if (driver == "usbfs") held = printer;  // claimed through libusb
          if (driver.empty() && protocol != "04") unbound = printer;
        }
        closedir(interfaces);
      }
      const bool usblpProtocol = protocols.find("01") != std::string::npos ||
                                 protocols.find("02") != std::string::npos ||
                                 protocols.find("03") != std::string::npos;
      if (!protocols.empty() && !usblpProtocol) ippOnly = printer;
    }
  }
  const std::string start =
      "(at every start: echo usblp | sudo tee /etc/modules-load.d/usblp.conf)";
  if (!held.empty()) {
    const std::string who = IppUsbRuns() ? "the IPP-over-USB daemon ipp-usb, which is running"
                                         : "most likely the IPP-over-USB daemon ipp-usb";
    return "the printer " + held +
           " is connected, but a program holds its printer interface through\n"
           "  libusb, so the usblp driver cannot have it: " + who + ". Free it:\n"
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
           " is connected, but it offers only IPP over USB, which the usblp driver\n"
           "  does not take; see \"Printers that start in IPP mode\" in the README";
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
