// The fake machine of korvex's end-to-end tests.
#include "cli_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "bytes/package_test_support.h"
#include "firmware/package_builder.h"

extern char **environ;

namespace cli_test {

namespace fs = std::filesystem;

namespace {

void WriteText(const fs::path &path, const std::string &text) {
  std::ofstream(path) << text << "\n";
}

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A pty whose window is columns wide: its master side, and the slave's path.
int OpenTerminal(int columns, std::string *slavePath) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      ptsname_r(master, name, sizeof name) != 0) {
    throw std::runtime_error("pty for korvex's standard error");
  }
  struct winsize size = {};
  size.ws_row = 24;
  size.ws_col = static_cast<unsigned short>(columns);
  ioctl(master, TIOCSWINSZ, &size);
  *slavePath = name;
  return master;
}

}  // namespace

TerminalCapture::TerminalCapture(int master, int columns)
    : master_(master),
      pieces_{{columns, std::string()}},
      lastRead_(std::chrono::steady_clock::now()),
      reader_([this]() { Read(); }) {}

TerminalCapture::~TerminalCapture() {
  ending_ = true;
  if (reader_.joinable()) reader_.join();
  close(master_);
}

// Until the slave side is closed (read gives EIO), or nothing more comes once korvex has ended.
void TerminalCapture::Read() {
  char buffer[4096];
  for (;;) {
    struct pollfd ready = {master_, POLLIN, 0};
    const int polled = poll(&ready, 1, 20);
    if (polled < 0) continue;
    if (polled == 0) {
      if (ending_) return;
      continue;
    }
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pieces_.back().bytes.append(buffer, static_cast<size_t>(n));
    lastRead_ = std::chrono::steady_clock::now();
  }
}

void TerminalCapture::Resize(int columns) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (std::chrono::steady_clock::now() - lastRead_ > std::chrono::milliseconds(200)) {
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = static_cast<unsigned short>(columns);
        ioctl(master_, TIOCSWINSZ, &size);
        pieces_.push_back({columns, std::string()});
        return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<TerminalPiece> TerminalCapture::Finish() {
  ending_ = true;
  if (reader_.joinable()) reader_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  return pieces_;
}

FakeMachine::FakeMachine(const std::string &name)
    : root_(std::string(KORVEX_CLI_SCRATCH) + "/" + name) {
  fs::remove_all(root_);
  fs::create_directories(root_ + "/dev/usb");
  fs::create_directories(root_ + "/sys/class/usbmisc");
  fs::create_directories(root_ + "/sys/bus/usb/devices");
  fs::create_directories(root_ + "/sys/module/usblp");
  std::ofstream(root_ + "/stdin");
}

FakeMachine::~FakeMachine() {
  for (auto &printer : printers_) printer->Stop();
}

// As the kernel lays it out: class/usbmisc/lpN leads to the interface's usbmisc entry, whose
// device link is the interface; the USB device, with its ids, is the interface's parent.
void FakeMachine::Plug(int lp, const std::string &vid, const std::string &pid,
                       const std::string &serial) {
  const std::string name = "lp" + std::to_string(lp);
  const std::string port = std::to_string(lp + 1);
  const std::string device = "devices/pci0000:00/0000:00:14.0/usb1/1-" + port;
  const std::string interface = device + "/1-" + port + ":1.0";
  const std::string sys = root_ + "/sys/";
  fs::create_directories(sys + interface + "/usbmisc/" + name);
  WriteText(sys + device + "/busnum", "1");
  WriteText(sys + device + "/devnum", std::to_string(nextDeviceNumber_++));
  WriteText(sys + device + "/idVendor", vid);
  WriteText(sys + device + "/idProduct", pid);
  if (!serial.empty()) WriteText(sys + device + "/serial", serial);
  WriteText(sys + interface + "/bInterfaceClass", "07");
  WriteText(sys + interface + "/bInterfaceProtocol", "02");
  fs::create_directory_symlink("../../../1-" + port + ":1.0",
                               sys + interface + "/usbmisc/" + name + "/device");
  fs::create_directory_symlink("../../" + interface + "/usbmisc/" + name,
                               sys + "class/usbmisc/" + name);
  fs::create_directory_symlink("../../../" + device, sys + "bus/usb/devices/1-" + port);
}

std::string FakeMachine::UsbDevice(int lp) const {
  return root_ + "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(lp + 1);
}

int FakeMachine::DeviceNumber(int lp) const {
  std::ifstream in(UsbDevice(lp) + "/devnum");
  int number = -1;
  in >> number;
  return number;
}

PtyPrinter &FakeMachine::Attach(int lp, const PtyPrinterOptions &given) {
  PtyPrinterOptions options = given;
  const std::string devnum = UsbDevice(lp) + "/devnum";
  options.onBack = [this, devnum, given]() {
    WriteText(devnum, std::to_string(nextDeviceNumber_++));
    if (given.onBack) given.onBack();
  };
  printers_.push_back(std::make_unique<PtyPrinter>(options));
  std::string error;
  if (!printers_.back()->Start(root_ + "/dev/usb/lp" + std::to_string(lp), &error)) {
    throw std::runtime_error("stand-in printer lp" + std::to_string(lp) + ": " + error);
  }
  return *printers_.back();
}

std::string FakeMachine::WriteFile(const std::string &name,
                                   const std::vector<unsigned char> &bytes) const {
  const std::string path = root_ + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

KorvexRun FakeMachine::Korvex(const std::vector<std::string> &arguments, int timeoutSeconds) {
  RunningKorvex running = Start(arguments, Launch());
  return Finish(&running, timeoutSeconds);
}

std::string FakeMachine::DevicePath(int lp) const {
  return root_ + "/dev/usb/lp" + std::to_string(lp);
}

RunningKorvex FakeMachine::Start(const std::vector<std::string> &arguments, const Launch &launch) {
  const std::string run = std::to_string(++runs_);
  RunningKorvex running;
  running.outPath = root_ + "/out-" + run;
  running.errPath = root_ + "/err-" + run;

  // KORVEX_TEST_PROGRAM runs the tests against another build of korvex (an earlier one, say).
  const char *other = std::getenv("KORVEX_TEST_PROGRAM");
  const std::string korvex = other != nullptr && other[0] != 0 ? other : KORVEX_EXE;
  std::vector<std::string> argv = {korvex};
  if (launch.interruptIgnored) {
    // As a shell starts a background job: SIGINT ignored, which exec keeps.
    argv = {"/bin/sh", "-c", "trap '' INT; exec \"$0\" \"$@\"", korvex};
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char *> argvPointers;
  for (std::string &argument : argv) argvPointers.push_back(&argument[0]);
  argvPointers.push_back(nullptr);

  std::vector<std::string> environment = {"KORVEX_SYSFS=" + root_ + "/sys",
                                          "KORVEX_DEV=" + root_ + "/dev"};
  environment.insert(environment.end(), launch.environment.begin(), launch.environment.end());
  if (launch.withStandinShim) environment.push_back("LD_PRELOAD=" KORVEX_STANDIN_SHIM);
  for (char **variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    if (entry.rfind("KORVEX_SYSFS=", 0) != 0 && entry.rfind("KORVEX_DEV=", 0) != 0) {
      environment.push_back(entry);
    }
  }
  std::vector<char *> environmentPointers;
  for (std::string &entry : environment) environmentPointers.push_back(&entry[0]);
  environmentPointers.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, (root_ + "/stdin").c_str(), O_RDONLY, 0);
  int pipeEnds[2] = {-1, -1};
  int terminal = -1, slave = -1;
  if (launch.stderrTerminalColumns > 0) {
    std::string slavePath;
    terminal = OpenTerminal(launch.stderrTerminalColumns, &slavePath);
    // Held open by the test until korvex has it, so that the master reads nothing but EIO
    // only once korvex has closed it.
    slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("cannot open " + slavePath);
    posix_spawn_file_actions_addopen(&files, 1, running.outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&files, slave, 2);
  } else if (launch.outputToPipe) {
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_adddup2(&files, pipeEnds[1], 1);
    posix_spawn_file_actions_adddup2(&files, pipeEnds[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&files, 1, running.outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, running.errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  // The test's own signal mask and dispositions are not the program's business.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  running.started = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &files, &attributes,
                                  argvPointers.data(), environmentPointers.data());
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attributes);
  if (pipeEnds[1] >= 0) close(pipeEnds[1]);
  if (slave >= 0) close(slave);
  if (terminal >= 0) {
    running.terminal = std::make_shared<TerminalCapture>(terminal, launch.stderrTerminalColumns);
  }
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
  running.pid = pid;
  running.output = pipeEnds[0];
  return running;
}

KorvexRun FakeMachine::Finish(RunningKorvex *running, int timeoutSeconds) {
  KorvexRun result;
  const auto deadline = running->started + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(running->pid, &status, WNOHANG);
    if (ended == running->pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(running->pid, SIGKILL);
      waitpid(running->pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - running->started).count();
  // Its last writes may still be in the ptys' buffers.
  for (auto &printer : printers_) {
    if (!printer->Settle()) throw std::runtime_error("a stand-in printer did not take its bytes");
  }
  result.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (running->terminal) {
    result.terminal = running->terminal->Finish();
    running->terminal.reset();
    result.out = ReadAll(running->outPath);
    for (const TerminalPiece &piece : result.terminal) result.err += piece.bytes;
  } else if (running->output >= 0) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(running->output, buffer, sizeof buffer)) > 0) result.err.append(buffer, n);
    close(running->output);
    running->output = -1;
  } else {
    result.out = ReadAll(running->outPath);
    result.err = ReadAll(running->errPath);
  }
  return result;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Show(const KorvexRun &run) {
  return "exit " + std::to_string(run.exitCode) + "\n--- stdout\n" + run.out + "--- stderr\n" +
         run.err;
}

PrinterIdentity Orbis300() {
  PrinterIdentity identity;
  identity.family = 2;
  identity.modelNumber = 301;
  identity.firmwareVersion = "3.01.22";
  identity.productCode = "KV30100A01";
  identity.macAddress = "00:1B:4B:56:01:2C";
  identity.memoryMegabytes = 256;
  identity.versionText =
      "build 2291 " + std::string(2100, '=') + "\nOrbis firmware 3.01.22 (2023-05-14)\n";
  return identity;
}

PtyPrinterOptions Options(const PrinterIdentity &identity) {
  PtyPrinterOptions options;
  options.identity = identity;
  return options;
}

std::vector<unsigned char> SingleImagePackage(const std::string &productCode,
                                              const std::vector<unsigned char> &image) {
  return BuildSingleImagePackage(package_test::Text(productCode.c_str()), image.data(),
                                 image.size(), 65536, 6);
}

std::vector<unsigned char> MultiPartPackage(const std::vector<std::vector<unsigned char>> &parts,
                                            uint8_t delaySeconds) {
  using package_test::Text;
  const PrinterIdentity orbis = Orbis300();
  unsigned char descriptor[kDescriptorLength];
  MakeDescriptor(descriptor, Text(orbis.productCode.c_str()), Text(orbis.firmwareVersion.c_str()),
                 Text("4B56015C"), static_cast<unsigned char>('0' + parts.size()));
  std::vector<unsigned char> package;
  AppendMultiPartHeader(package, descriptor);
  for (const std::vector<unsigned char> &part : parts) {
    AppendPart(package, Text(orbis.productCode.c_str()), delaySeconds, part.data(), part.size());
  }
  return package;
}

}  // namespace cli_test
