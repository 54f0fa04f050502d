// What the command-line benches share: firmware-like test images, and korvex run on a fake
// machine through the bench itself (--measure), so that its peak resident memory is korvex's
// own and not the bench's (a child started straight from the bench would carry the bench's
// images into its peak).
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char **environ;

namespace bench {

// Bytes that compress about as firmware does: runs of a few opcodes among noise, led by the
// escape byte every printer takes as firmware.
inline std::vector<unsigned char> FirmwareImage(size_t length, uint32_t mix = 1) {
  std::vector<unsigned char> image(length);
  uint32_t x = mix;
  for (size_t i = 0; i < length; ++i) {
    x = x * 1103515245u + 12345u;
    const unsigned r = x >> 16;
    image[i] = (r & 3) != 0 ? static_cast<unsigned char>("\x00\x01\x20\x4C\x8B\xE8"[r % 6])
                            : static_cast<unsigned char>(r >> 4);
  }
  image[0] = 0x1B;
  return image;
}

inline void Save(const std::string &path, const std::vector<unsigned char> &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string &path, const std::string &text) {
  std::ofstream(path) << text << "\n";
}

struct MeasuredRun {
  bool started = false;
  int status = -1;  // as waitpid gives it
  double seconds = 0;
  long peakKiB = 0;
  std::chrono::steady_clock::time_point startedAt;
  bool Succeeded() const { return started && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// korvex with these arguments on the fake machine under root (its sysfs and device roots),
// standard output and error to log, through this program's --measure; waits for it.
inline MeasuredRun RunMeasured(const std::string &korvex, const std::string &root,
                               const std::vector<std::string> &arguments,
                               const std::string &log) {
  std::vector<std::string> environment = {"KORVEX_SYSFS=" + root + "/sys",
                                          "KORVEX_DEV=" + root + "/dev"};
  for (char **variable = environ; *variable != nullptr; ++variable) {
    if (std::strncmp(*variable, "KORVEX_", 7) != 0) environment.push_back(*variable);
  }
  std::vector<char *> envp;
  for (std::string &entry : environment) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  const std::string peakFile = root + "/peak";
  std::vector<std::string> command = {"/proc/self/exe", "--measure", peakFile, korvex};
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &argument : command) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  MeasuredRun run;
  run.startedAt = std::chrono::steady_clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return run;
  run.started = true;
  waitpid(pid, &run.status, 0);
  run.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - run.startedAt).count();
  std::ifstream(peakFile) >> run.peakKiB;
  return run;
}

// --measure PEAK_FILE PROGRAM ARGS...: runs the program from this small process and writes its
// peak resident memory (KiB) to PEAK_FILE; exits with the program's code.
inline int MeasureChild(char **argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    execv(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  rusage usage = {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 127;
  std::ofstream(argv[0]) << usage.ru_maxrss << "\n";
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

}  // namespace bench
