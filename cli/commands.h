// The commands of korvex; each returns the exit code.
#pragma once

#include <string>
#include <vector>

// The longest --stall-timeout: a write's time-out is a 32-bit count of milliseconds.
constexpr int kMaxStallSeconds = 4294967;

struct UpgradeOptions {
  std::string file;
  std::vector<std::string> printers;  // --printer, once or more; none: the only printer
  bool all = false;                   // every printer found
  int jobs = 0;                       // how many printers at once; 0: all of them
  bool json = false;
  bool verify = false;                // wait for each printer to come back on its new firmware
  int verifySeconds = 600;
  std::string expectVersion;          // the version it must come back with; empty: any
  int stallSeconds = 120;             // a firmware write that takes nothing this long fails
  std::string expectSha256;           // the file's SHA-256 it must have; empty: any
};

int RunInfo(const std::string &printer, bool json);
int RunUpgrade(const UpgradeOptions &options);
int RunMaintenance(int command, const std::string &printer, bool yes);
int ListMaintenanceCommands();
int RunCheck(const std::string &file, bool json, const std::string &expectSha256);
