// The fake machine of korvex's end-to-end tests.
#include "cli_test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

}  // namespace

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

PtyPrinter &FakeMachine::Attach(int lp, const PtyPrinterOptions &options) {
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
  const std::string run = std::to_string(++runs_);
  const std::string outPath = root_ + "/out-" + run, errPath = root_ + "/err-" + run;

  std::vector<std::string> argv = {KORVEX_EXE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char *> argvPointers;
  for (std::string &argument : argv) argvPointers.push_back(&argument[0]);
  argvPointers.push_back(nullptr);

  std::vector<std::string> environment = {"KORVEX_SYSFS=" + root_ + "/sys",
                                          "KORVEX_DEV=" + root_ + "/dev"};
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
  posix_spawn_file_actions_addopen(&files, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  KorvexRun result;
  const auto started = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0].c_str(), &files, nullptr, argvPointers.data(),
                                  environmentPointers.data());
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);

  const auto deadline = started + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    if (ended == pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // Its last writes may still be in the ptys' buffers.
  for (auto &printer : printers_) {
    if (!printer->Settle()) throw std::runtime_error("a stand-in printer did not take its bytes");
  }
  result.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = ReadAll(outPath);
  result.err = ReadAll(errPath);
  return result;
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace cli_test
