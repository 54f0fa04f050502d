// What the command line prints, and how: UTF-8 on standard output (results) and standard error
// (messages, progress, questions), printer texts made safe to show, and the exit codes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json_fwd.hpp>

// How a run of korvex ends, for scripts. 0, 3, 4 and 5 mean what they mean for the window
// program's unattended upgrade.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;    // the printer did not answer, or did not take the command
constexpr int kExitUsage = 2;     // bad arguments
constexpr int kExitNoPrinter = 3; // no printer, or several and none named
constexpr int kExitNothingSent = 4;     // refused: nothing was sent (file, printer or model)
constexpr int kExitSendIncomplete = 5;  // failed after firmware reached the printer
constexpr int kExitNotSeenBack = 6;     // sent whole, but not seen back on the new firmware

// Makes standard output and error take UTF-8 bytes as they are (Windows: binary mode, and the
// console's code page UTF-8).
void PrepareConsole();

void Out(const std::string &utf8);
void Err(const std::string &utf8);
bool IsTerminal(std::FILE *stream);

// Out and Err write "\n" as this system's line end.
// A text of the program (a table text, a field read from the printer) as UTF-8 for a terminal:
// CR LF and LF become "\n", every other control character (C0, DEL, C1) a
// space, so that nothing a printer sends can move the cursor or change the terminal. Spaces and
// line ends at both ends are dropped.
std::string Plain(const wchar_t *text);
// The same without touching the ends, and without line ends: every control character a space.
std::string OneLine(const wchar_t *text);
// A line format of the program's (a text, then a line break and its own words) without the
// text: "The firmware file is valid." of internal string 130.
std::string OwnWords(int format);
// Text the system gives (a USB serial number, a path): every control byte a space.
std::string OneLine(const std::string &utf8);
// The UTF-8 form, as it is (JSON escapes it).
std::string Utf8(const wchar_t *text);
// Bytes from a file or a printer: printable ASCII as it is, anything else as \xHH.
std::string Printable(const unsigned char *bytes, size_t length);

// "4.0 MiB", "512 KiB", "100 B".
std::string Size(uint64_t bytes);
// "1:05", "0:03".
std::string Duration(double seconds);

// A JSON document as printed: indented, every text escaped, a byte that is no UTF-8 replaced.
std::string JsonText(const nlohmann::json &document);
