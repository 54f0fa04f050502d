// korvex-cli-bench: korvex's upgrade throughput on Linux beside a bare loop of 4096-byte writes to
// the same stand-in printer on a pty (one that drains firmware without keeping it), the time to
// the first firmware byte (the whole-file check), and korvex's peak resident memory at two file
// sizes. Run by `make bench-cli` on an optimised korvex without sanitizers; not a test.
//
//   korvex-cli-bench KORVEX WORK_DIR [ROUNDS]
//
// korvex is started through this program anew (--measure): a child started straight from the
// bench would carry the bench's own peak memory (its 64 MiB images) into its peak.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/package_builder.h"
#include "measured_korvex.h"
#include "pty_printer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kWriteBytes = 4096;  // what korvex writes at a time
const char kProductCode[] = "KV30100A01";

// lp0 as usblp shows it in sysfs: an Orbis 300.
void PlugPrinter(const std::string &root) {
  const std::string device = root + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
  const std::string interface = device + "/1-1:1.0";
  fs::create_directories(interface + "/usbmisc/lp0");
  fs::create_directories(root + "/sys/class/usbmisc");
  fs::create_directories(root + "/dev/usb");
  bench::WriteText(device + "/idVendor", "4b56");
  bench::WriteText(device + "/idProduct", "015c");
  fs::create_directory_symlink("../../../1-1:1.0", interface + "/usbmisc/lp0/device");
  fs::create_directory_symlink(interface + "/usbmisc/lp0", root + "/sys/class/usbmisc/lp0");
}

struct Measure {
  bool ok = false;
  double mibPerSecond = 0;      // at the printer, first byte to last
  double firstByteSeconds = 0;  // from the start of the run
  long peakKiB = 0;
};

double MiBPerSecond(uint64_t bytes, Clock::time_point first, Clock::time_point last) {
  const double seconds = std::chrono::duration<double>(last - first).count();
  return seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0;
}

Measure RunKorvex(const std::string &korvex, const std::string &root, const std::string &file,
                  size_t imageBytes, PtyPrinter &printer) {
  printer.ClearFirmware();
  const std::string log = root + "/korvex.log";
  const bench::MeasuredRun run = bench::RunMeasured(korvex, root, {"upgrade", file}, log);
  Measure measure;
  if (!run.started) {
    std::fprintf(stderr, "korvex-cli-bench: cannot start %s\n", korvex.c_str());
    return measure;
  }
  // Its last writes may still be in the pty's buffers.
  printer.Settle();
  if (!run.Succeeded() || printer.FirmwareBytes() != imageBytes) {
    std::fprintf(stderr,
                 "korvex-cli-bench: korvex upgrade %s: status %d, %llu of %zu bytes; see %s\n",
                 file.c_str(), run.status, static_cast<unsigned long long>(printer.FirmwareBytes()),
                 imageBytes, log.c_str());
    return measure;
  }
  measure.ok = true;
  measure.mibPerSecond =
      MiBPerSecond(imageBytes, printer.FirstFirmwareByte(), printer.LastFirmwareByte());
  measure.firstByteSeconds =
      std::chrono::duration<double>(printer.FirstFirmwareByte() - run.startedAt).count();
  measure.peakKiB = run.peakKiB;
  return measure;
}

// The same bytes to the same printer as plainly as it can be done: blocking 4096-byte writes.
Measure RunBareLoop(const std::string &node, const std::vector<unsigned char> &image,
                    PtyPrinter &printer) {
  printer.ClearFirmware();
  Measure measure;
  const int device = open(node.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (device < 0) return measure;
  bool ok = true;
  for (size_t at = 0; at < image.size() && ok; at += kWriteBytes) {
    const size_t length = std::min(kWriteBytes, image.size() - at);
    ok = write(device, image.data() + at, length) == static_cast<ssize_t>(length);
  }
  close(device);
  printer.Settle();
  if (!ok || printer.FirmwareBytes() != image.size()) return measure;
  measure.ok = true;
  measure.mibPerSecond =
      MiBPerSecond(image.size(), printer.FirstFirmwareByte(), printer.LastFirmwareByte());
  return measure;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 3 && std::strcmp(argv[1], "--measure") == 0) return bench::MeasureChild(argv + 2);
  if (argc < 3) {
    std::fputs("usage: korvex-cli-bench KORVEX WORK_DIR [ROUNDS]\n", stderr);
    return 2;
  }
  const std::string korvex = fs::absolute(argv[1]).string();
  const std::string root = fs::absolute(argv[2]).string();
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  fs::remove_all(root + "/sys");
  fs::remove_all(root + "/dev");
  fs::create_directories(root);
  PlugPrinter(root);

  struct File {
    size_t mib;
    std::string package, raw;
  };
  std::vector<File> files;
  for (size_t mib : {size_t{8}, size_t{64}}) {
    File file = {mib, root + "/package-" + std::to_string(mib) + ".kfw",
                 root + "/raw-" + std::to_string(mib) + ".bin"};
    if (!fs::exists(file.package) || !fs::exists(file.raw)) {
      const std::vector<unsigned char> image = bench::FirmwareImage(mib * kMiB);
      bench::Save(file.raw, image);
      bench::Save(file.package,
           BuildSingleImagePackage(reinterpret_cast<const unsigned char *>(kProductCode),
                                   image.data(), image.size(), 4 * kMiB, 6));
    }
    files.push_back(file);
  }

  PtyPrinterOptions options;
  options.keepFirmware = false;
  PtyPrinter printer(options);
  std::string error;
  const std::string node = root + "/dev/usb/lp0";
  if (!printer.Start(node, &error)) {
    std::fprintf(stderr, "korvex-cli-bench: stand-in printer: %s\n", error.c_str());
    return 1;
  }

  std::printf("korvex upgrade on a stand-in printer (pty, firmware drained), %d rounds, medians\n",
              rounds);
  std::fflush(stdout);
  const std::vector<unsigned char> big = bench::FirmwareImage(64 * kMiB);
  // The ratios are taken round by round, each against the bare loop run right after: load from
  // elsewhere on the machine changes all three alike.
  std::vector<double> bare, packageRatio, rawRatio;
  bool failed = false;
  for (const File &file : files) {
    std::vector<double> packageRate, rawRate, packageFirst, rawFirst;
    long packagePeak = 0, rawPeak = 0;
    for (int round = 0; round < rounds && !failed; ++round) {
      const Measure package = RunKorvex(korvex, root, file.package, file.mib * kMiB, printer);
      const Measure raw = RunKorvex(korvex, root, file.raw, file.mib * kMiB, printer);
      failed = !package.ok || !raw.ok;
      packageRate.push_back(package.mibPerSecond);
      rawRate.push_back(raw.mibPerSecond);
      packageFirst.push_back(package.firstByteSeconds);
      rawFirst.push_back(raw.firstByteSeconds);
      packagePeak = std::max(packagePeak, package.peakKiB);
      rawPeak = std::max(rawPeak, raw.peakKiB);
      if (file.mib == 64) {
        const Measure loop = RunBareLoop(node, big, printer);
        failed = failed || !loop.ok;
        bare.push_back(loop.mibPerSecond);
        packageRatio.push_back(package.mibPerSecond / loop.mibPerSecond);
        rawRatio.push_back(raw.mibPerSecond / loop.mibPerSecond);
      }
    }
    if (failed) break;
    std::printf(
        "%3zu MiB single-image package: %7.1f MiB/s, first byte after %.3f s, peak RSS %ld KiB\n",
        file.mib, Median(packageRate), Median(packageFirst), packagePeak);
    std::printf(
        "%3zu MiB raw image:            %7.1f MiB/s, first byte after %.3f s, peak RSS %ld KiB\n",
        file.mib, Median(rawRate), Median(rawFirst), rawPeak);
    if (file.mib == 64) {
      std::printf(" 64 MiB bare 4096-byte writes: %7.1f MiB/s\n", Median(bare));
      std::printf(
          "ratio to the bare loop of the same round (goal >= 0.95): package %.2f, "
          "raw image %.2f\n",
          Median(packageRatio), Median(rawRatio));
    }
  }
  printer.Stop();
  return failed ? 1 : 0;
}
