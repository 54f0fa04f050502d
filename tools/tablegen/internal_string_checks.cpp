// Rules that the tool places on its internal strings and its model table: the argument lists of
// the wsprintfW formats, characters read at fixed positions, the saved language digits, device
// path patterns, and what the information text and the report need from the formats together.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "table_sources.h"

namespace {

// ---- wsprintfW conversions ---------------------------------------------------------------------

struct Conversion {
  bool leftAlign = false;
  bool zeroPad = false;
  bool alternate = false;  // '#': 0x prefix for hexadecimal
  int width = 0;
  int precision = -1;
  char size = 0;  // 'h', 'l', 'w' or 0
  char type = 0;  // one of c C d i u x X s S p
  std::string spelling;
};

struct ParsedFormat {
  std::vector<std::string> literals;  // literals[i] precedes conversion i; one more at the end
  std::vector<Conversion> conversions;
  std::string problem;  // empty when every '%' is understood
};

bool IsOneOf(char c, const char *set) {
  for (; *set != '\0'; ++set) {
    if (c == *set) return true;
  }
  return false;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
// A character that may stand in a firmware version the printer reports.
bool IsVersionChar(char c) { return c == '.' || IsDigit(c) || IsLetter(c); }
bool IsPrintableAscii(char c) { return c >= 0x20 && c <= 0x7E; }
// Characters that a Windows file name cannot hold.
bool IsFileNameChar(char c) {
  return static_cast<unsigned char>(c) >= 0x20 && !IsOneOf(c, "\\/:*?\"<>|");
}

char ToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char ToUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Lowered(std::string s) {
  for (char &c : s) c = ToLower(c);
  return s;
}

// wsprintfW knows the flags - # 0, a decimal width and precision, the size prefixes h l w and
// the types c C d i u x X s S p; no '*' width, no '+' or ' ' flag, no floating point.
ParsedFormat ParseFormat(const std::string &format) {
  ParsedFormat out;
  out.literals.emplace_back();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out.literals.back() += format[i];
      continue;
    }
    const size_t start = i++;
    if (i < format.size() && format[i] == '%') {
      out.literals.back() += '%';
      continue;
    }
    Conversion c;
    for (; i < format.size() && IsOneOf(format[i], "-#0"); ++i) {
      if (format[i] == '-') c.leftAlign = true;
      if (format[i] == '#') c.alternate = true;
      if (format[i] == '0') c.zeroPad = true;
    }
    for (; i < format.size() && IsDigit(format[i]); ++i) c.width = c.width * 10 + (format[i] - '0');
    if (i < format.size() && format[i] == '.') {
      c.precision = 0;
      for (++i; i < format.size() && IsDigit(format[i]); ++i) {
        c.precision = c.precision * 10 + (format[i] - '0');
      }
    }
    if (i < format.size() && IsOneOf(format[i], "hlw")) c.size = format[i++];
    if (i >= format.size()) {
      out.problem = "ends inside the conversion \"" + format.substr(start) + "\"";
      return out;
    }
    c.spelling = format.substr(start, i - start + 1);
    if (!IsOneOf(format[i], "cCdiuxXsSp")) {
      out.problem = "\"" + c.spelling + "\" is not a conversion wsprintfW understands";
      return out;
    }
    c.type = format[i];
    out.conversions.push_back(c);
    out.literals.emplace_back();
  }
  return out;
}

enum class ArgKind {
  kString,  // UTF-16 string
  kChar,    // one UTF-16 character
  kByte,    // number 0-255, any integer form
  kSigned,  // signed 32-bit number, any integer form of full width
  kCount,   // unsigned 32-bit number shown in decimal
};

struct Arg {
  ArgKind kind;
  std::string role;
};

// In wsprintfW %s and %c are UTF-16, %S and %C single-byte; h forces single-byte, l and w UTF-16.
bool IsWide(const Conversion &c) {
  if (c.type == 's' || c.type == 'c') return c.size != 'h';
  return c.size == 'l' || c.size == 'w';
}

bool IsInteger(const Conversion &c) { return IsOneOf(c.type, "diuxX"); }

// Empty when the conversion takes the argument correctly, else what it needs.
std::string Mismatch(const Conversion &c, ArgKind kind) {
  switch (kind) {
    case ArgKind::kString:
      if ((c.type == 's' || c.type == 'S') && IsWide(c)) return "";
      return "a UTF-16 string (%s)";
    case ArgKind::kChar:
      if ((c.type == 'c' || c.type == 'C') && IsWide(c)) return "";
      return "a UTF-16 character (%c)";
    case ArgKind::kByte:
      if (IsInteger(c) && c.size != 'w') return "";
      return "a number (%u, %d or %X)";
    case ArgKind::kSigned:
      if (IsInteger(c) && (c.size == 0 || c.size == 'l')) return "";
      return "a full 32-bit number (%d, %u or %X, no h)";
    case ArgKind::kCount:
      if (c.type == 'u' && (c.size == 0 || c.size == 'l')) return "";
      return "an unsigned 32-bit number in decimal (%u)";
  }
  return "";
}

struct FormatRule {
  int entry;
  std::vector<Arg> args;
};

Arg S(const char *role) { return {ArgKind::kString, role}; }
Arg U(const char *role) { return {ArgKind::kCount, role}; }

// Every entry the tool hands to wsprintfW as a format, with its arguments in order.
const std::vector<FormatRule> &FormatRules() {
  static const std::vector<FormatRule> rules = [] {
    std::vector<FormatRule> r = {
        {71, {}},
        {111,
         {{ArgKind::kByte, "reply byte 6"},
          {ArgKind::kByte, "reply byte 7"},
          {ArgKind::kByte, "reply byte 8"},
          {ArgKind::kByte, "reply byte 9"}}},
        {112, {{ArgKind::kSigned, "model number"}}},
        {104, {S("short text"), S("detail")}},
        {113, {U("memory size")}},
        {122, {S("text"), S("note")}},
        {123, {S("snapshot"), S("UI text 28"), U("part number"), U("part count")}},
        {124, {S("prefix text"), S("UI text 28"), U("bytes sent"), U("total")}},
        {125, {S("snapshot"), S("UI text 28"), U("total"), U("total"), S("UI text 20")}},
        {126,
         {S("internal string 6"), S("first word of line 1"), S("first word of line 3"),
          S("internal string 7")}},
        {127, {S("saved pane text"), S("dots")}},
        {128, {S("text")}},
        {129, {S("UI text 20")}},
        {130, {S("pane text")}},
        {131, {S("UI text 20")}},
        {132, {S("first text"), S("second text")}},
        {133, {S("model name"), S("device id")}},
        {134, {S("device id")}},
        {135, {S("previous pane text"), S("short text"), S("detail")}},
    };
    // 110: the four vendor id digits, then the four product id digits.
    FormatRule id{110, {}};
    for (int k = 0; k < 8; ++k) {
      id.args.push_back({ArgKind::kChar, std::string(k < 4 ? "vendor" : "product") + " digit " +
                                             std::to_string(k % 4 + 1)});
    }
    r.push_back(id);
    // 115-121: the information text, one field more after each answer.
    const char *const fields[] = {"display name", "firmware version", "product code", "MAC address",
                                  "memory size",  "version text",     "device code"};
    for (int i = 0; i < 7; ++i) {
      FormatRule rule{115 + i, {}};
      for (int k = 0; k <= i; ++k) rule.args.push_back(S(fields[k]));
      r.push_back(rule);
    }
    return r;
  }();
  return rules;
}

// ---- Rendering, as wsprintfW would, to try the formats on sample values ------------------------

struct Value {
  std::string text;      // for %s and %c
  long long number = 0;  // for the integer conversions
};

Value Str(const std::string &s) { return Value{s, 0}; }
Value Num(long long n) { return Value{"", n}; }

std::string Digits(unsigned long long v, unsigned base, bool upper) {
  const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v % base]);
    v /= base;
  } while (v != 0);
  return out;
}

std::string RenderOne(const Conversion &c, const Value &v) {
  std::string sign, body;
  if (c.type == 's' || c.type == 'S') {
    body = c.precision >= 0 ? v.text.substr(0, static_cast<size_t>(c.precision)) : v.text;
  } else if (c.type == 'c' || c.type == 'C') {
    body = v.text.empty() ? std::string(1, '\0') : v.text.substr(0, 1);
  } else {
    const bool shortValue = c.size == 'h';
    unsigned long long magnitude;
    if (c.type == 'd' || c.type == 'i') {
      long long n = shortValue ? static_cast<int16_t>(v.number) : static_cast<int32_t>(v.number);
      if (n < 0) sign = "-";
      magnitude = static_cast<unsigned long long>(n < 0 ? -n : n);
    } else {
      magnitude = shortValue ? static_cast<uint16_t>(v.number) : static_cast<uint32_t>(v.number);
    }
    const bool hex = c.type != 'd' && c.type != 'i' && c.type != 'u';
    body = Digits(magnitude, hex ? 16 : 10, c.type != 'x');
    if (c.precision >= 0 && body.size() < static_cast<size_t>(c.precision)) {
      body.insert(0, static_cast<size_t>(c.precision) - body.size(), '0');
    }
    if (c.alternate && hex && magnitude != 0) sign += c.type == 'X' ? "0X" : "0x";
  }
  size_t length = sign.size() + body.size();
  if (length >= static_cast<size_t>(c.width)) return sign + body;
  const size_t pad = static_cast<size_t>(c.width) - length;
  if (c.leftAlign) return sign + body + std::string(pad, ' ');
  if (c.zeroPad) return sign + std::string(pad, '0') + body;
  return std::string(pad, ' ') + sign + body;
}

std::string Render(const ParsedFormat &format, const std::vector<Value> &values) {
  std::string out = format.literals[0];
  for (size_t i = 0; i < format.conversions.size(); ++i) {
    out += RenderOne(format.conversions[i], i < values.size() ? values[i] : Value{});
    out += format.literals[i + 1];
  }
  return out;
}

// ---- Shared context ----------------------------------------------------------------------------

const char kMakerVendorId[] = "4B56";  // the maker's own USB vendor id
const char kUsbPrintGuid[] = "28d78fad-5a12-11d1-ae5b-0000f803a8c2";
const int kDisplayNameUnits = 128;  // currentDisplayName, terminator included
const int kPaneUnits = 1024;        // wsprintfW output and infoText, terminator included
const int kFileNameUnits = 260;     // default report file name buffer
const int kAboutUnits = 132;        // About box text buffer
const int kModelCodeChars = 8;      // modelCode field, without terminator

std::string Entry(int i) { return "internal string " + std::to_string(i); }
std::string Quoted(const std::string &s) { return "\"" + s + "\""; }
std::string CharName(char c) {
  if (IsPrintableAscii(c)) return std::string("'") + c + "'";
  return "byte " + std::to_string(static_cast<unsigned char>(c));
}

class Context {
 public:
  Context(const TableSources &tables, std::vector<std::string> &errors)
      : tables_(tables), errors_(errors) {
    for (const FormatRule &rule : FormatRules()) {
      ParsedFormat parsed = ParseFormat(Text(rule.entry));
      parsed_[rule.entry] = parsed;
      usable_[rule.entry] = parsed.problem.empty() && Matches(parsed, rule.args);
    }
  }

  const std::string &Text(int i) const { return tables_.internalStrings[i]; }
  const TableSources &Tables() const { return tables_; }
  void Fail(int entry, const std::string &message) {
    errors_.push_back(Entry(entry) + ": " + message);
  }
  void Fail(const std::string &message) { errors_.push_back(message); }

  // Whether format entry i takes its argument list, so that it can be tried on sample values.
  bool Usable(int i) const { return usable_[i]; }
  const ParsedFormat &Parsed(int i) const { return parsed_[i]; }
  std::string Format(int i, const std::vector<Value> &values) const {
    return Render(parsed_[i], values);
  }

  bool Admits(const std::string &path) const {
    const std::string lower = Lowered(path);
    bool admitted = false;
    for (int i = 50; i <= 53; ++i) admitted = admitted || Contains(lower, Text(i));
    for (int i = 54; i <= 55; ++i) admitted = admitted && !Contains(lower, Text(i));
    return admitted;
  }

 private:
  static bool Contains(const std::string &text, const std::string &pattern) {
    return !pattern.empty() && text.find(pattern) != std::string::npos;
  }
  static bool Matches(const ParsedFormat &parsed, const std::vector<Arg> &args) {
    if (parsed.conversions.size() != args.size()) return false;
    for (size_t k = 0; k < args.size(); ++k) {
      if (!Mismatch(parsed.conversions[k], args[k].kind).empty()) return false;
    }
    return true;
  }

  const TableSources &tables_;
  std::vector<std::string> &errors_;
  ParsedFormat parsed_[kInternalStringCount];
  bool usable_[kInternalStringCount] = {};
};

// A device path as the USB stack reports it, and as the printer simulator names its pipes.
std::string RealDevicePath(const std::string &vendor, const std::string &product) {
  return "\\\\?\\usb#vid_" + Lowered(vendor) + "&pid_" + Lowered(product) + "#5&2c7b1a9e&0&2#{" +
         kUsbPrintGuid + "}";
}
std::string SimulatorDevicePath(const std::string &vendor, const std::string &product) {
  return "\\\\.\\pipe\\id_" + vendor + "&pid_" + product + "#sim0001#{" + kUsbPrintGuid + "}";
}

// ---- Argument lists ----------------------------------------------------------------------------

void CheckArgumentLists(Context &ctx) {
  for (const FormatRule &rule : FormatRules()) {
    const ParsedFormat &parsed = ctx.Parsed(rule.entry);
    if (!parsed.problem.empty()) {
      ctx.Fail(rule.entry, parsed.problem);
      continue;
    }
    if (parsed.conversions.size() != rule.args.size()) {
      std::string roles;
      for (const Arg &arg : rule.args) roles += (roles.empty() ? "" : ", ") + arg.role;
      ctx.Fail(rule.entry, "needs " + std::to_string(rule.args.size()) + " argument(s)" +
                               (roles.empty() ? "" : " (" + roles + ")") + ", has " +
                               std::to_string(parsed.conversions.size()));
      continue;
    }
    for (size_t k = 0; k < rule.args.size(); ++k) {
      const std::string need = Mismatch(parsed.conversions[k], rule.args[k].kind);
      if (!need.empty()) {
        ctx.Fail(rule.entry, "argument " + std::to_string(k + 1) + " (" + rule.args[k].role +
                                 ") needs " + need + ", has " + parsed.conversions[k].spelling);
      }
    }
  }
}

// ---- Texts read as a whole or at fixed positions -----------------------------------------------

void CheckNotEmpty(Context &ctx, int first, int last, const char *role) {
  for (int i = first; i <= last; ++i) {
    if (ctx.Text(i).empty()) ctx.Fail(i, std::string("is empty; it is ") + role);
  }
}

// Display text / pattern pairs, each ended by a NUL; the slot's terminator closes the list.
void CheckDialogFilter(Context &ctx, int i) {
  const std::string &text = ctx.Text(i);
  if (text.empty() || text.back() != '\0') {
    ctx.Fail(i, "a dialog filter must end with \\x00 after its last pattern");
    return;
  }
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
    pieces.push_back(text.substr(start, end - start));
  }
  bool emptyPiece = false;
  for (const std::string &p : pieces) emptyPiece = emptyPiece || p.empty();
  if (emptyPiece || pieces.size() % 2 != 0) {
    ctx.Fail(i, "a dialog filter needs non-empty display text / pattern pairs, has " +
                    std::to_string(pieces.size()) + " piece(s)");
  }
}

void CheckFixedTexts(Context &ctx) {
  if (!ctx.Text(0).empty()) {
    ctx.Fail(0, "must be empty: it stands for \"no detail\", which selects the default detail");
  }
  if (ctx.Text(1).find_first_not_of(' ') != std::string::npos) {
    ctx.Fail(1, "must be blank: only a name that matches no theme turns the bar's style off");
  }
  for (int i = 2; i <= 3; ++i) {
    if (ctx.Text(i).empty() || ctx.Text(i).size() > 31) {
      ctx.Fail(i, "a font face name has 1 to 31 characters");
    }
  }
  if (ctx.Text(3).size() < 9) {
    ctx.Fail(3, "needs at least 9 characters: its character 8 is the second package magic byte");
  }
  CheckNotEmpty(ctx, 4, 5, "the shell operation or program that opens the report");

  const std::string &ext = ctx.Text(8);
  bool extOk = !ext.empty() && ext.size() <= 3;
  for (char c : ext) extOk = extOk && (IsDigit(c) || IsLetter(c));
  if (!extOk) {
    ctx.Fail(8, "temporary file prefix and default extension: 1 to 3 letters or digits");
  }
  CheckDialogFilter(ctx, 9);
  CheckDialogFilter(ctx, 10);
  if (extOk && ctx.Text(9).find(std::string("*.") + ext + '\0') == std::string::npos &&
      ctx.Text(9).find(std::string("*.") + ext + ';') == std::string::npos) {
    ctx.Fail(9, "the save filter has no pattern for the default extension *." + ext);
  }

  const std::string &key = ctx.Text(11);
  if (key.empty() || key.front() == '\\' || key.back() == '\\' ||
      key.find("\\\\") != std::string::npos) {
    ctx.Fail(11, "a registry key path: non-empty names separated by single backslashes");
  } else if (key[0] == '\x1B' || key[0] == '\xAD') {
    ctx.Fail(11, "character 0 is the first package magic byte; " + CharName(key[0]) +
                     " is also how a raw image begins");
  }
  CheckNotEmpty(ctx, 12, 12, "the registry value name of the saved language");

  CheckNotEmpty(ctx, 15, 32, "a menu caption");
  for (int group = 0; group < 2; ++group) {
    const int first = group == 0 ? 16 : 21, last = group == 0 ? 20 : 31;
    std::set<std::string> seen;
    for (int i = first; i <= last; ++i) {
      if (!ctx.Text(i).empty() && !seen.insert(ctx.Text(i)).second) {
        ctx.Fail(i, "repeats the caption of another item of the same submenu");
      }
    }
  }
  for (int i = 35; i <= 38; ++i) {
    if (ctx.Text(i) != std::to_string(i - 35)) {
      ctx.Fail(i, "must be " + Quoted(std::to_string(i - 35)) +
                      ", the digit saved for that language; a saved choice is never recognised");
    }
  }

  if (ctx.Text(40).size() < 9) {
    ctx.Fail(40, "needs at least 9 characters: the first 9 name a firmware-only device");
  }
  CheckNotEmpty(ctx, 41, 41, "the notice for a refused model");
  CheckNotEmpty(ctx, 80, 83, "a failure text of the compatibility checks");
  CheckNotEmpty(ctx, 85, 103, "a failure text of the upgrade");

  // The protocol switch sends USB printer requests, so it opens the printer class interface.
  if (Lowered(ctx.Text(59)) != kUsbPrintGuid) {
    ctx.Fail(59, "must be the USB printer interface GUID " + Quoted(kUsbPrintGuid));
  }
  if (ctx.Text(60).size() != 2) ctx.Fail(60, "a model-category prefix of exactly 2 characters");
  for (int i = 61; i <= 64; ++i) {
    if (ctx.Text(i).size() != 3) ctx.Fail(i, "a model-category prefix of exactly 3 characters");
  }

  const std::string &hex = ctx.Text(70);
  for (int n = 0; n < 16; ++n) {
    if (static_cast<int>(hex.size()) <= n || ToUpper(hex[n]) != "0123456789ABCDEF"[n]) {
      ctx.Fail(70, "character " + std::to_string(n) + " must be the hexadecimal digit for " +
                       std::to_string(n));
      break;
    }
  }
  if (ctx.Text(71).size() > 4) {
    ctx.Fail(71, "the placeholder fills the 4-character memory size field; has " +
                     std::to_string(ctx.Text(71).size()) + " characters");
  }
}

// Line breaks in the pane and the report are CR LF; a NUL ends a text early except in filters.
void CheckControlCharacters(Context &ctx) {
  for (int i = 0; i < kInternalStringCount; ++i) {
    const std::string &t = ctx.Text(i);
    if (i != 9 && i != 10 && t.find('\0') != std::string::npos) {
      ctx.Fail(i, "holds a NUL, which would end the text early");
    }
    for (size_t k = 0; k < t.size(); ++k) {
      const bool crAlone = t[k] == '\r' && (k + 1 >= t.size() || t[k + 1] != '\n');
      const bool lfAlone = t[k] == '\n' && (k == 0 || t[k - 1] != '\r');
      if (crAlone || lfAlone) {
        ctx.Fail(i, "a line break must be CR LF (\\r\\n)");
        break;
      }
    }
  }
}

void CheckSingleCharacters(Context &ctx) {
  const std::string &c = ctx.Text(72);
  if (c.size() < 7) {
    ctx.Fail(72, "needs 7 single-character constants, has " + std::to_string(c.size()));
    return;
  }
  // The report compares the separator with a single UTF-8 byte, hence ASCII.
  if (!IsPrintableAscii(c[0]) || c[0] == ' ' || IsUpperHex(ToUpper(c[0])) ||
      ctx.Text(70).find(c[0]) != std::string::npos) {
    ctx.Fail(72,
             "character 0, the device-code separator, must be a visible ASCII character "
             "that is no hexadecimal digit; has " +
                 CharName(c[0]));
  }
  for (int k = 1; k <= 3; ++k) {
    if (!IsVersionChar(c[k])) {
      ctx.Fail(72, "character " + std::to_string(k) +
                       " is compared with a firmware version, "
                       "which holds only '.', digits and letters; has " +
                       CharName(c[k]));
    }
  }
  if (IsVersionChar(c[4])) {
    ctx.Fail(72,
             "character 4, the version wildcard, must be a character that no firmware "
             "version holds; has " +
                 CharName(c[4]));
  }
  // Characters 5 and 6 enclose the 36-character GUID field of a device path.
  for (const std::string &path :
       {RealDevicePath(kMakerVendorId, "0042"), SimulatorDevicePath(kMakerVendorId, "0042")}) {
    const size_t open = path.find(c[5]);
    if (open == std::string::npos || open + 37 >= path.size() || path[open + 37] != c[6]) {
      ctx.Fail(72, "characters 5 and 6 (" + CharName(c[5]) + ", " + CharName(c[6]) +
                       ") do not enclose the GUID of " + Quoted(path));
      break;
    }
  }
}

void CheckDeviceIds(Context &ctx) {
  for (int i = 42; i <= 44; ++i) {
    const std::string &id = ctx.Text(i);
    bool ok = id.size() == 8;
    for (char ch : id) ok = ok && IsUpperHex(ch);
    if (!ok) ctx.Fail(i, "a device id is 8 upper-case hexadecimal digits; has " + Quoted(id));
  }
  for (int i = 45; i <= 47; ++i) {
    const std::string vendor = ctx.Text(i).substr(0, 4);
    bool ok = vendor.size() == 4;
    for (char ch : vendor) ok = ok && IsUpperHex(ch);
    if (!ok) {
      ctx.Fail(i,
               "starts with a vendor id of 4 upper-case hexadecimal digits; has " + Quoted(vendor));
    } else if (vendor == kMakerVendorId) {
      ctx.Fail(i, std::string("names the maker's own vendor id ") + kMakerVendorId +
                      "; every printer would be taken for a firmware-only device");
    }
  }
  for (int i = 50; i <= 55; ++i) {
    const std::string &p = ctx.Text(i);
    if (p.empty()) {
      ctx.Fail(i, i <= 53 ? "an empty pattern admits every device path"
                          : "an empty pattern rejects every device path");
    } else if (Lowered(p) != p) {
      ctx.Fail(i, "device paths are lowered before matching; an upper-case pattern never matches");
    }
  }
  // The maker's printers and every firmware-only device must be found, on real USB paths and
  // on the simulator's pipes.
  std::vector<std::pair<std::string, std::string>> devices = {
      {std::string(kMakerVendorId) + "0042", "a printer of the maker's own vendor id"}};
  for (int i = 42; i <= 44; ++i) devices.emplace_back(ctx.Text(i), "the device of " + Entry(i));
  for (int i = 45; i <= 47; ++i) {
    devices.emplace_back(ctx.Text(i).substr(0, 4) + "0001",
                         "a device of the vendor of " + Entry(i));
  }
  for (const auto &device : devices) {
    const std::string &id = device.first;
    if (id.size() != 8) continue;
    const bool real = ctx.Admits(RealDevicePath(id.substr(0, 4), id.substr(4)));
    const bool simulated = ctx.Admits(SimulatorDevicePath(id.substr(0, 4), id.substr(4)));
    if (!real || !simulated) {
      ctx.Fail("internal strings 50-55: " + device.second + ", " + id + ", is not admitted on " +
               (real        ? "the simulator's pipe path"
                : simulated ? "a USB device path"
                            : "any path"));
    }
  }
}

// ---- The formats tried on sample values --------------------------------------------------------

// The report's view of a pane text: lines of bytes, split at CR LF pairs (a pair is consumed and
// the byte after it is stored unexamined), the terminating zero stored as the last entry.
struct ReportGrid {
  std::vector<std::string> lines{std::string()};
  int Breaks() const { return static_cast<int>(lines.size()) - 1; }
  char At(size_t line, size_t column) const {
    return line < lines.size() && column < lines[line].size() ? lines[line][column] : '\0';
  }
  std::string FirstWord(size_t line) const {
    std::string word;
    for (char ch : line < lines.size() ? lines[line] : std::string()) {
      if (ch == ' ' || ch == '\r' || ch == '\n' || ch == '\0') break;
      word += ch;
    }
    return word;
  }
};

// The report reads the pane as UTF-8, where a widened byte above 0x7F takes two bytes.
ReportGrid SplitReport(const std::string &text) {
  ReportGrid grid;
  std::string s;
  for (unsigned char c : text) {
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  s += '\0';
  for (size_t p = 0; p < s.size();) {
    if (grid.lines.size() > 256 || grid.lines.back().size() > 255) break;
    if (s[p] == '\r' && p + 1 < s.size() && s[p + 1] == '\n') {
      grid.lines.emplace_back();
      p += 2;
    }
    grid.lines.back() += s[p++];
  }
  return grid;
}

std::vector<Value> SampleFields(const std::string &deviceCode) {
  return {Str("KL-2100dn (4B560042)"),
          Str("1.02.07"),
          Str("AB12CD34EF"),
          Str("00:1A:2B:3C:4D:5E"),
          Str("256"),
          Str("Korvex OS 4.9 build 12"),
          Str(deviceCode)};
}

void CheckInformationText(Context &ctx) {
  const int kLongest[7] = {kDisplayNameUnits - 1, 15, 10, 17, 4, 127, 41};
  for (int i = 115; i <= 121; ++i) {
    if (!ctx.Usable(i)) continue;
    std::vector<Value> longest;
    for (int k = 0; k <= i - 115; ++k) longest.push_back(Str(std::string(kLongest[k], 'W')));
    const size_t length = ctx.Format(i, longest).size();
    if (length > kPaneUnits - 1) {
      ctx.Fail(i, "with the longest field values the text has " + std::to_string(length) +
                      " characters; wsprintfW writes at most " + std::to_string(kPaneUnits - 1));
    }
  }
  if (!ctx.Usable(121) || ctx.Text(72).empty()) return;
  const char separator = ctx.Text(72)[0];
  const std::string digits = "0123456789ABCDEF0123456789ABCDEF";

  // A complete text has 7 lines and the separator at byte 8 of the last one, whatever model code
  // formats 111 and 112 produce.
  struct Sample {
    int entry;
    std::vector<Value> values;
  };
  const std::vector<Sample> samples = {
      {111, {Num(0), Num(0), Num(0), Num(0)}},
      {111, {Num(255), Num(255), Num(255), Num(255)}},
      {111, {Num(1), Num(0x2A), Num(0), Num(9)}},
      {112, {Num(0)}},
      {112, {Num(7)}},
      {112, {Num(-7)}},
      {112, {Num(123456789)}},
      {112, {Num(-2147483647 - 1)}},
  };
  bool reported[2] = {};
  for (const Sample &sample : samples) {
    if (!ctx.Usable(sample.entry) || reported[sample.entry - 111]) continue;
    const std::string modelCode =
        ctx.Format(sample.entry, sample.values).substr(0, kModelCodeChars);
    const ReportGrid grid =
        SplitReport(ctx.Format(121, SampleFields(modelCode + separator + digits)));
    if (grid.Breaks() != 6) {
      ctx.Fail(121, "the final text has " + std::to_string(grid.Breaks()) +
                        " CR LF line breaks; a report needs exactly 6 (seven lines)");
      return;
    }
    if (grid.At(6, 8) != separator) {
      reported[sample.entry - 111] = true;
      ctx.Fail("internal strings " + std::to_string(sample.entry) +
               " and 121: with the model code " + Quoted(modelCode) + " byte 8 of line 7 is " +
               CharName(grid.At(6, 8)) + ", not the device-code separator " + CharName(separator));
    }
  }

  // A query that failed leaves the placeholder in every unread field; its text must be refused.
  const std::string &placeholder = ctx.Text(71);
  std::vector<Value> unread(7, Str(placeholder));
  unread[0] = Str("KL-2100dn (4B560042)");
  const ReportGrid failed = SplitReport(ctx.Format(121, unread));
  if (failed.Breaks() == 6 && failed.At(6, 8) == separator) {
    ctx.Fail(71,
             "as the device code it puts the separator at byte 8 of line 7; the text of a "
             "failed query would pass for a complete report");
  }

  // The default report file name takes the first words of lines 1 and 3.
  if (!ctx.Usable(126)) return;
  const ReportGrid done =
      SplitReport(ctx.Format(121, SampleFields("0000002A" + std::string(1, separator) + digits)));
  const std::string name = ctx.Format(
      126, {Str(ctx.Text(6)), Str(done.FirstWord(0)), Str(done.FirstWord(2)), Str(ctx.Text(7))});
  if (name.size() > kFileNameUnits - 1) {
    ctx.Fail(126, "the default report file name " + Quoted(name) + " exceeds " +
                      std::to_string(kFileNameUnits - 1) + " characters");
  }
  for (char ch : name) {
    if (!IsFileNameChar(ch)) {
      ctx.Fail(126, "the default report file name " + Quoted(name) + " holds " + CharName(ch) +
                        ", which a file name cannot hold");
      break;
    }
  }
}

size_t Utf16Units(const std::string &utf8) {
  size_t units = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) units += 1;  // a lead byte starts a character
    if ((c & 0xF8) == 0xF0) units += 1;  // four-byte sequences need a surrogate pair
  }
  return units;
}

void CheckSampleOutputs(Context &ctx) {
  if (ctx.Usable(110)) {
    const std::string id = ctx.Format(
        110, {Str("4"), Str("B"), Str("5"), Str("6"), Str("0"), Str("0"), Str("4"), Str("2")});
    if (id != "4B560042") {
      ctx.Fail(110, "must yield the 8 characters alone; gives " + Quoted(id) + " for 4B560042");
    }
  }
  if (ctx.Usable(113)) {
    const std::string size = ctx.Format(113, {Num(9999)});
    if (size.size() > 4) {
      ctx.Fail(113,
               "a memory size of 9999 gives " + Quoted(size) + "; the field holds 4 characters");
    }
  }
  if (ctx.Usable(128)) {
    const std::string path = RealDevicePath(kMakerVendorId, "0042");
    if (ctx.Format(128, {Str(path)}) != path) {
      ctx.Fail(128, "must copy its argument unchanged (\"%s\"); device paths are copied with it");
    }
  }
  if (ctx.Usable(132)) {
    for (int lang = 0; lang < kLanguageCount; ++lang) {
      const size_t nameUnits = Utf16Units(ctx.Tables().uiTexts[lang][5]);
      const size_t units = ctx.Format(132, {Str(std::string(nameUnits, 'W')), Str("2.91")}).size();
      if (units > kAboutUnits - 1) {
        ctx.Fail(132, std::string("the About text in ") + kLanguageCodes[lang] + " has " +
                          std::to_string(units) + " characters; its buffer holds " +
                          std::to_string(kAboutUnits - 1));
      }
    }
  }
  if (ctx.Usable(133)) {
    const std::string display = ctx.Format(133, {Str("KL-2100dn"), Str("4B560042")});
    if (!display.empty() && display[0] == 'U') {
      ctx.Fail(133,
               "the display name of a known model must not begin with \"U\": the information "
               "query would replace it by the printer's print name");
    }
    const size_t units = ctx.Format(133, {Str(std::string(16, 'W')), Str("4B560042")}).size();
    if (units > kDisplayNameUnits - 1) {
      ctx.Fail(133, "a 16-character model name gives a display name of " + std::to_string(units) +
                        " characters; at most " + std::to_string(kDisplayNameUnits - 1) + " fit");
    }
  }
  if (ctx.Usable(134)) {
    const std::string name = ctx.Format(134, {Str("4B56FFF0")});
    if (name.size() > kDisplayNameUnits - 1) {
      ctx.Fail(134, "the display name is longer than " + std::to_string(kDisplayNameUnits - 1) +
                        " characters");
    }
    // Only a display name beginning with "U" makes a family-2 printer report its print name:
    // a model missing from the table is named by the printer itself.
    if (name.empty() || name[0] != 'U') {
      ctx.Fail(134,
               "the display name of an unknown model must begin with \"U\"; gives " + Quoted(name));
    }
  }
}

// ---- Model rows ---------------------------------------------------------------------------------

std::string Row(const ModelRow &row) {
  return "models.txt:" + std::to_string(row.line) + ": " + row.productIdCode + " " +
         Quoted(row.modelName) + ": ";
}

bool IsUpperHexCode(const std::string &code) {
  bool ok = code.size() == 4;
  for (char c : code) ok = ok && IsUpperHex(c);
  return ok;
}

// What the per-row checks may rely on; a broken internal string is reported once, not per row.
struct RowChecks {
  bool displayName = false;  // format 133 leads with the model name
  bool admission = false;    // the maker's printers are admitted at all
};

void CheckRow(Context &ctx, const RowChecks &checks, const ModelRow &row) {
  const std::string where = Row(row);
  if (!IsUpperHexCode(row.productIdCode)) {
    ctx.Fail(where +
             "the code must be 4 upper-case hexadecimal digits (device ids are upper case)");
  }
  if (row.family < 0 || row.family > 2) {
    ctx.Fail(where + "family " + std::to_string(row.family) + "; only 0, 1 and 2 exist");
  }
  const std::string &name = row.modelName;
  if (name.empty() || name.size() > static_cast<size_t>(kModelNameBytes)) {
    ctx.Fail(where + "a model name has 1 to 16 characters");
  }
  for (char c : name) {
    if (!IsPrintableAscii(c) || !IsFileNameChar(c) || c == '&') {
      ctx.Fail(where + "the name holds " + CharName(c) +
               "; names label menu items and give the report's file name");
      break;
    }
  }
  if (checks.displayName) {
    const std::string display = ctx.Format(133, {Str(name), Str("4B56" + row.productIdCode)});
    if (display.size() > kDisplayNameUnits - 1) {
      ctx.Fail(where + "the display name exceeds " + std::to_string(kDisplayNameUnits - 1) +
               " characters");
    }
    if (!display.empty() && display[0] == 'U') {
      ctx.Fail(where +
               "the display name begins with \"U\", so the information query would "
               "replace it by the printer's print name");
    }
  }
  if (checks.admission && IsUpperHexCode(row.productIdCode)) {
    for (const std::string &path : {RealDevicePath(kMakerVendorId, row.productIdCode),
                                    SimulatorDevicePath(kMakerVendorId, row.productIdCode)}) {
      if (!ctx.Admits(path)) {
        ctx.Fail(where + "internal strings 50-55 do not admit " + Quoted(path));
        break;
      }
    }
  }
}

void CheckModelsAgainstStrings(Context &ctx, const std::vector<ModelRow> &models) {
  // A firmware-only device must pass the product-code check, which refuses family 0.
  for (int i = 42; i <= 44; ++i) {
    const std::string &id = ctx.Text(i);
    if (id.size() != 8) continue;
    for (const ModelRow &row : models) {
      if (row.productIdCode != id.substr(4)) continue;
      if (row.family == 0) {
        ctx.Fail(Row(row) + "family 0 makes the firmware-only device " + id + " (" + Entry(i) +
                 ") refuse every package");
      }
      break;
    }
  }
  // Each model-category prefix must name some model, or its upgrade note is never shown.
  if (!ctx.Usable(133)) return;
  for (int i = 60; i <= 64; ++i) {
    const std::string &prefix = ctx.Text(i);
    bool used = false;
    for (const ModelRow &row : models) {
      const std::string display = ctx.Format(133, {Str(row.modelName), Str("4B560000")});
      used = used || (!prefix.empty() && display.compare(0, prefix.size(), prefix) == 0);
    }
    if (!used) ctx.Fail(i, "the prefix " + Quoted(prefix) + " begins no model's display name");
  }
}

}  // namespace

void CheckInternalStrings(const TableSources &tables, std::vector<std::string> &errors) {
  Context ctx(tables, errors);
  CheckArgumentLists(ctx);
  CheckFixedTexts(ctx);
  CheckControlCharacters(ctx);
  CheckSingleCharacters(ctx);
  CheckDeviceIds(ctx);
  CheckInformationText(ctx);
  CheckSampleOutputs(ctx);
}

void CheckModelTable(const TableSources &tables, std::vector<std::string> &errors) {
  Context ctx(tables, errors);
  if (tables.models.size() != static_cast<size_t>(kModelCount)) {
    ctx.Fail("models.txt: " + std::to_string(tables.models.size()) + " rows; the table has " +
             std::to_string(kModelCount));
  }
  RowChecks checks;
  checks.displayName =
      ctx.Usable(133) && ctx.Format(133, {Str("Q"), Str("4B560042")}).compare(0, 1, "Q") == 0;
  checks.admission = ctx.Admits(RealDevicePath(kMakerVendorId, "0042")) &&
                     ctx.Admits(SimulatorDevicePath(kMakerVendorId, "0042"));
  std::set<std::string> codes;
  for (const ModelRow &row : tables.models) {
    CheckRow(ctx, checks, row);
    if (!codes.insert(row.productIdCode).second) {
      ctx.Fail(Row(row) + "an earlier row has the same code; this row is never reached");
    }
  }
  CheckModelsAgainstStrings(ctx, tables.models);
}
