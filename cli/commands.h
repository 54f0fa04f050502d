// The commands of korvex; each returns the exit code.
#pragma once

#include <string>

int RunInfo(const std::string &printer, bool json);
int RunUpgrade(const std::string &file, const std::string &printer, bool all);
int RunMaintenance(int command, const std::string &printer, bool yes);
int ListMaintenanceCommands();
int RunCheck(const std::string &file, bool json);
