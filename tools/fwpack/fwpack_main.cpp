// korvex-fwpack: builds firmware packages with the program's own keys and explains any firmware
// file the way the program would read it.
//
//   korvex-fwpack build-single --product-code CODE [--block-size BYTES] [--level 0-9] IMAGE OUT
//   korvex-fwpack build-multi --product-code CODE (--required-version VER | --any-version)
//                 --device-id VVVVPPPP [--part DELAY:FILE]... OUT
//   korvex-fwpack inspect FILE
//
// Exit status: 0 done (inspect: the program would accept the file), 1 refused or failed,
// 2 wrong usage.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "build_commands.h"
#include "file_report.h"

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  korvex-fwpack build-single --product-code CODE [--block-size BYTES] [--level 0-9] IMAGE OUT\n"
    "  korvex-fwpack build-multi --product-code CODE (--required-version VER | --any-version)\n"
    "                --device-id VVVVPPPP [--part DELAY:FILE]... OUT\n"
    "  korvex-fwpack inspect FILE\n";

int Usage(const std::string &problem) {
  if (!problem.empty()) std::fprintf(stderr, "korvex-fwpack: %s\n", problem.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// A whole decimal number in [low, high].
bool ParseNumber(const char *text, unsigned long low, unsigned long high, unsigned long *value) {
  char *end = nullptr;
  if (*text < '0' || *text > '9') return false;
  *value = std::strtoul(text, &end, 10);
  return *end == '\0' && *value >= low && *value <= high;
}

// Splits argv into --options (each taking one value, except the listed flags) and operands.
struct Arguments {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> operands;
  std::string problem;
};

Arguments Split(int argc, char **argv, const std::vector<std::string> &flags) {
  Arguments a;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0) {
      a.operands.push_back(arg);
    } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
      a.options.emplace_back(arg, "");
    } else if (i + 1 < argc) {
      a.options.emplace_back(arg, argv[++i]);
    } else {
      a.problem = arg + " needs a value";
    }
  }
  return a;
}

int BuildSingleCommand(int argc, char **argv) {
  Arguments a = Split(argc, argv, {});
  SingleImageOptions o;
  unsigned long n = 0;
  for (const auto &[name, value] : a.options) {
    if (name == "--product-code") {
      o.productCode = value;
    } else if (name == "--block-size" && ParseNumber(value.c_str(), 1, 4194304, &n)) {
      o.blockSize = n;
    } else if (name == "--level" && ParseNumber(value.c_str(), 0, 9, &n)) {
      o.level = static_cast<int>(n);
    } else {
      a.problem = "bad option " + name + " " + value;
    }
  }
  if (a.problem.empty() && o.productCode.empty()) a.problem = "--product-code is required";
  if (a.problem.empty() && a.operands.size() != 2) a.problem = "give an IMAGE and an OUT file";
  if (!a.problem.empty()) return Usage(a.problem);
  o.imagePath = a.operands[0];
  o.outputPath = a.operands[1];
  return BuildSingleImage(o);
}

int BuildMultiCommand(int argc, char **argv) {
  Arguments a = Split(argc, argv, {"--any-version"});
  MultiPartOptions o;
  bool anyVersion = false;
  unsigned long n = 0;
  for (const auto &[name, value] : a.options) {
    const size_t colon = value.find(':');
    if (name == "--product-code") {
      o.productCode = value;
    } else if (name == "--required-version") {
      o.requiredVersion = value;
    } else if (name == "--any-version") {
      anyVersion = true;
    } else if (name == "--device-id") {
      o.deviceId = value;
    } else if (name == "--part" && colon != std::string::npos && colon + 1 < value.size() &&
               ParseNumber(value.substr(0, colon).c_str(), 0, 255, &n)) {
      o.parts.push_back({static_cast<unsigned>(n), value.substr(colon + 1)});
    } else {
      a.problem = "bad option " + name + " " + value;
    }
  }
  if (a.problem.empty() && o.productCode.empty()) a.problem = "--product-code is required";
  if (a.problem.empty() && o.deviceId.empty()) a.problem = "--device-id is required";
  if (a.problem.empty() && anyVersion && !o.requiredVersion.empty()) {
    a.problem = "give --required-version or --any-version, not both";
  }
  if (a.problem.empty() && !anyVersion && o.requiredVersion.empty()) {
    a.problem = "give --required-version VER or --any-version";
  }
  if (a.problem.empty() && a.operands.size() != 1) a.problem = "give one OUT file";
  if (!a.problem.empty()) return Usage(a.problem);
  o.outputPath = a.operands[0];
  return BuildMultiPart(o);
}

}  // namespace

int main(int argc, char **argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "build-single") return BuildSingleCommand(argc, argv);
  if (command == "build-multi") return BuildMultiCommand(argc, argv);
  if (command == "inspect") {
    if (argc != 3) return Usage("inspect takes one FILE");
    return InspectFirmwareFile(argv[2], stdout);
  }
  return Usage(command.empty() ? "" : "unknown command " + command);
}
