// korvex-fleet-bench: korvex upgrading 8 and 64 printers at once against one printer alone, as a
// production line's flashing station does, and its peak resident memory by the number of
// printers and the file's size. The printers are stand-ins on ptys that take firmware at a
// printer's pace (a flash's intake rate) and drain it. Run by `make bench-fleet` on an optimised
// korvex without sanitizers; not a test.
//
//   korvex-fleet-bench KORVEX WORK_DIR
//
// korvex is started through this program anew (--measure): a child started straight from the
// bench would carry the bench's own peak memory into its peak.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "firmware/package_builder.h"
#include "measured_korvex.h"
#include "pty_printer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = 1024 * 1024;
constexpr unsigned long long kIntake = 1 * kMiB;  // a printer's flash: 1 MiB/s
constexpr int kMostPrinters = 64;
const char kProductCode[] = "KV30100A01";

// lpN as usblp shows it in sysfs: an Orbis 300 with a serial number of its own.
void PlugPrinter(const std::string &root, int lp) {
  const std::string name = "lp" + std::to_string(lp);
  const std::string port = std::to_string(lp + 1);
  // Ports 1 to 64 under one root hub: a bench's stand-in for hubs of hubs.
  const std::string device = root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
  const std::string interface = device + "/1-" + port + ":1.0";
  fs::create_directories(interface + "/usbmisc/" + name);
  fs::create_directories(root + "/sys/class/usbmisc");
  fs::create_directories(root + "/dev/usb");
  bench::WriteText(device + "/idVendor", "4b56");
  bench::WriteText(device + "/idProduct", "015c");
  bench::WriteText(device + "/serial", "ORB-" + port);
  fs::create_directory_symlink("../../../1-" + port + ":1.0", interface + "/usbmisc/" + name + "/device");
  fs::create_directory_symlink(interface + "/usbmisc/" + name, root + "/sys/class/usbmisc/" + name);
}

// korvex upgrade FILE ARGS..., timed from its start to its end, with its peak memory.
bench::MeasuredRun Upgrade(const std::string &korvex, const std::string &root,
                           const std::string &file, const std::vector<std::string> &more) {
  std::vector<std::string> arguments = {"upgrade", file};
  arguments.insert(arguments.end(), more.begin(), more.end());
  const std::string log = root + "/korvex.log";
  const bench::MeasuredRun run = bench::RunMeasured(korvex, root, arguments, log);
  if (!run.Succeeded()) {
    std::fprintf(stderr, "korvex-fleet-bench: korvex upgrade %s: status %d; see %s\n",
                 file.c_str(), run.status, log.c_str());
  }
  return run;
}

std::vector<std::string> FirstPrinters(int count) {
  std::vector<std::string> arguments;
  for (int lp = 0; lp < count; ++lp) {
    arguments.push_back("--printer");
    arguments.push_back("lp" + std::to_string(lp));
  }
  return arguments;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 3 && std::strcmp(argv[1], "--measure") == 0) return bench::MeasureChild(argv + 2);
  if (argc < 3) {
    std::fputs("usage: korvex-fleet-bench KORVEX WORK_DIR\n", stderr);
    return 2;
  }
  const std::string korvex = fs::absolute(argv[1]).string();
  const std::string root = fs::absolute(argv[2]).string();
  fs::remove_all(root + "/sys");
  fs::remove_all(root + "/dev");
  fs::create_directories(root);
  std::vector<std::unique_ptr<PtyPrinter>> printers;
  for (int lp = 0; lp < kMostPrinters; ++lp) {
    PlugPrinter(root, lp);
    PtyPrinterOptions options;
    options.keepFirmware = false;
    options.faults.intakeBytesPerSecond = kIntake;
    printers.emplace_back(new PtyPrinter(options));
    std::string error;
    if (!printers.back()->Start(root + "/dev/usb/lp" + std::to_string(lp), &error)) {
      std::fprintf(stderr, "korvex-fleet-bench: stand-in printer: %s\n", error.c_str());
      return 1;
    }
  }
  // Packages of 4 MiB blocks: the most a printer's run holds at once.
  std::vector<std::string> packages;
  for (size_t mib : {size_t{8}, size_t{32}}) {
    const std::string path = root + "/package-" + std::to_string(mib) + ".kfw";
    if (!fs::exists(path)) {
      const std::vector<unsigned char> image = bench::FirmwareImage(mib * kMiB, 7);
      const std::vector<unsigned char> package = BuildSingleImagePackage(
          reinterpret_cast<const unsigned char *>(kProductCode), image.data(), image.size(),
          4 * kMiB, 6);
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char *>(package.data()),
                 static_cast<std::streamsize>(package.size()));
    }
    packages.push_back(path);
  }

  std::printf("korvex upgrade on stand-in printers taking firmware at 1 MiB/s each, "
              "single-image packages of 4 MiB blocks\n");
  std::fflush(stdout);
  bool ok = true;
  auto report = [&](const char *what, const bench::MeasuredRun &run) {
    ok = ok && run.Succeeded();
    std::printf("%-40s %6.2f s, peak RSS %6ld KiB (%.1f MiB)\n", what, run.seconds, run.peakKiB,
                run.peakKiB / 1024.0);
    std::fflush(stdout);
    return run;
  };
  const bench::MeasuredRun one =
      report("1 printer, 8 MiB:", Upgrade(korvex, root, packages[0], FirstPrinters(1)));
  const bench::MeasuredRun eight = report("8 printers at once, 8 MiB each:",
                                          Upgrade(korvex, root, packages[0], FirstPrinters(8)));
  const bench::MeasuredRun all = report("64 printers at once (--all), 8 MiB each:",
                                        Upgrade(korvex, root, packages[0], {"--all"}));
  const bench::MeasuredRun eightLarge = report("8 printers at once, 32 MiB each:",
                                               Upgrade(korvex, root, packages[1], FirstPrinters(8)));
  if (ok) {
    auto budget = [](int printers) { return 32 + 2 * printers; };
    std::printf("wall time against 1 printer (goal <= 1.3): 8 printers %.2f, 64 printers %.2f\n",
                eight.seconds / one.seconds, all.seconds / one.seconds);
    std::printf("peak memory against 32 MiB + 2 MiB a printer: 1 printer %.1f of %d MiB, "
                "8 printers %.1f of %d MiB, 64 printers %.1f of %d MiB; 8 printers at 32 MiB "
                "%.1f MiB (%+.1f MiB against 8 MiB)\n",
                one.peakKiB / 1024.0, budget(1), eight.peakKiB / 1024.0, budget(8),
                all.peakKiB / 1024.0, budget(64), eightLarge.peakKiB / 1024.0,
                (eightLarge.peakKiB - eight.peakKiB) / 1024.0);
    const bool fast = all.seconds <= 1.3 * one.seconds;
    const bool small = one.peakKiB <= budget(1) * 1024 && eight.peakKiB <= budget(8) * 1024 &&
                       all.peakKiB <= budget(64) * 1024;
    std::printf("targets: time %s, memory %s\n", fast ? "met" : "MISSED",
                small ? "met" : "MISSED");
  }
  for (auto &printer : printers) printer->Stop();
  return ok ? 0 : 1;
}
