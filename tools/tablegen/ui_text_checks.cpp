// Rules that the program places on the UI texts, in every language: where each text is shown
// (menu, button, heading label, caption, tooltip, message box, information pane) and how the
// pane and box messages are composed from them with the wsprintfW formats of the internal
// string table.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "table_sources.h"

namespace {

// ---- Where a text is shown ---------------------------------------------------------------

enum Use : unsigned {
  kMenu = 1u << 0,     // menu caption or item: '&' marks a mnemonic
  kButton = 1u << 1,   // caption of button 900 or 901
  kHeading = 1u << 2,  // heading label left of the information pane
  kTitle = 1u << 3,    // main window title
  kCaption = 1u << 4,  // message box caption or notice title
  kTip = 1u << 5,      // hover tip or notice text: a one-line tooltip that strips '&'
  kBox = 1u << 6,      // message box text
  kPane = 1u << 7,     // information pane text of its own
  kInline = 1u << 8,   // argument of a format, inside a line of the composed text
  kBlock = 1u << 9,    // argument of a format, forming lines of a pane or box text
};

constexpr unsigned kOneLine = kMenu | kButton | kTitle | kCaption | kTip | kInline;
constexpr unsigned kPrefixed = kMenu | kButton | kHeading | kTip;  // '&' is interpreted
constexpr unsigned kLiteral = kTitle | kCaption | kBox | kPane | kInline | kBlock;
constexpr unsigned kPhrase = kInline | kBlock;
constexpr unsigned kInPane = kPane | kBlock;  // lines that end up in the information pane

constexpr unsigned kUses[kUiTextCount] = {
    kTitle,                 // 0 window title
    kMenu,                  // 1 first top-level menu
    kMenu,                  // 2 Exit
    kMenu | kTip,           // 3 second top-level menu; maintenance success notice
    kMenu | kCaption,       // 4 About item and About box caption
    kBlock,                 // 5 About text, before the version
    kMenu,                  // 6 maintenance submenu
    kMenu,                  // 7 maintenance command 1
    kMenu | kTip,           // 8 maintenance command 2; its "not available" notice
    kMenu,                  // 9 panel language submenu
    kMenu,                  // 10 second setting submenu
    kHeading,               // 11 heading at start-up and for an information query
    kHeading,               // 12 heading during an upgrade
    kButton,                // 13 button 900
    kButton,                // 14 button 901
    kTip,                   // 15 hover tip of button 902
    kTip,                   // 16 hover tip of button 903; copy notice
    kTip,                   // 17 hover tip of button 904
    kBox,                   // 18 report not saved
    kHeading,               // 19 heading while the firmware file is checked
    kCaption | kInline,     // 20 information notice title; "done" in upgrade texts
    kCaption,               // 21 OK/Cancel warning caption
    kCaption | kInline,     // 22 error caption; error word in failure lines
    kTip | kCaption,        // 23 several files dropped; bad command line caption
    kInline,                // 24 label of the check line
    kPane | kBlock,         // 25 pane text when an upgrade starts; then the log's first line
    kCaption,               // 26 upgrade result caption
    kMenu,                  // 27 header of the printer choice menu
    kInline,                // 28 progress label
    kBox | kTip,            // 29 no printer found
    kTip | kBox | kInline,  // 30 default failure detail; maintenance failure; bad command line
    kBox | kBlock,          // 31 information query failure; lines picked for check failures
    kBlock,                 // 32 note after the firmware is sent
    kBox,                   // 33 confirmation of maintenance commands 1 and 2
    kBlock,                 // 34 note for model category 1
    kBlock,                 // 35 note for model category 2
    kBox,                   // 36 confirmation of closing while busy
    kTip | kBox,            // 37 firmware upgrade of a bridged printer refused under Wine
    kTip,                   // 38 maintenance command to a bridged printer refused under Wine
};

// Room for the text, in pixels at 96 dpi (every size and font scales alike at other settings).
constexpr int kButtonWidth = 150;    // 170 wide, less the button's frame and margins
constexpr int kHeadingWidth = 94;    // label 98 wide, right-aligned
constexpr int kHeadingLines = 7;     // label 102 high, lines 14 high
constexpr int kTitleWidth = 300;     // caption bar at the minimum window width of 496
constexpr int kOneLineWidth = 400;   // captions and notices
constexpr int kPaneLineWidth = 440;  // pane at the default window size; it does not wrap
constexpr int kAboutUnits = 131;     // About text buffer of 132 units

// Failure text whose lines 1 and 3 are picked for failed compatibility checks.
constexpr int kPickedText = 31;
constexpr int kPickedLines[] = {1, 3};

// ---- Characters -----------------------------------------------------------------------------

std::u32string Decode(const std::string &utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = utf8[i];
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k <= extra && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    out += cp;
    i += extra + 1;
  }
  return out;
}

std::string Encode(const std::u32string &text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// Internal strings are single bytes, each widened to the code unit of the same value.
std::u32string Widen(const std::string &bytes) {
  std::u32string out;
  for (unsigned char c : bytes) out += c;
  return out;
}

// Shows a piece of text in a message, with line breaks and tabs made visible.
std::string Shown(const std::u32string &text) {
  std::string out;
  for (char32_t cp : text) {
    if (cp == U'\r')
      out += "\\r";
    else if (cp == U'\n')
      out += "\\n";
    else if (cp == U'\t')
      out += "\\t";
    else
      out += Encode(std::u32string(1, cp));
  }
  return out;
}

bool IsWide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6);
}

// A rough width in pixels of the dialog fonts at 96 dpi: good enough to tell a caption that fits
// from one that needs twice the room.
int CharWidth(char32_t cp) {
  static const std::u32string narrow = U" iljI!.,:;'|`";
  static const std::u32string slim = U"ftr()[]{}/\\-\"*";
  static const std::u32string broad = U"mwMW@%ЖШЩЮЫМжшщюым";
  if (IsWide(cp)) return 12;
  if (narrow.find(cp) != std::u32string::npos) return 3;
  if (slim.find(cp) != std::u32string::npos) return 4;
  if (broad.find(cp) != std::u32string::npos) return 9;
  if ((cp >= U'A' && cp <= U'Z') || (cp >= 0x410 && cp <= 0x42F)) return 7;
  return 6;
}

int Width(const std::u32string &line) {
  int width = 0;
  for (char32_t cp : line) width += CharWidth(cp);
  return width;
}

// Letters and digits of the scripts that separate words by spaces.
bool IsWordChar(char32_t cp) {
  return (cp >= U'0' && cp <= U'9') || (cp >= U'A' && cp <= U'Z') || (cp >= U'a' && cp <= U'z') ||
         (cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x400 && cp <= 0x4FF);
}

bool IsPunctuation(char32_t cp) {
  static const std::u32string marks = U".,:;!?…。，、：；！？";
  return marks.find(cp) != std::u32string::npos;
}

bool IsSpace(char32_t cp) { return cp == U' ' || cp == U'\t' || cp == 0x3000; }

// Lines as the pane, the label and PickLines see them: CR ends a line, LF is dropped.
std::vector<std::u32string> SplitLines(const std::u32string &text) {
  std::vector<std::u32string> lines(1);
  for (char32_t cp : text) {
    if (cp == U'\r')
      lines.emplace_back();
    else if (cp != U'\n')
      lines.back() += cp;
  }
  return lines;
}

size_t Utf16Units(const std::u32string &text) {
  size_t units = 0;
  for (char32_t cp : text) units += cp >= 0x10000 ? 2 : 1;
  return units;
}

// ---- wsprintfW conversions --------------------------------------------------------------------

enum class ArgKind { kNone, kString, kChar, kNumber };

struct Conversion {
  ArgKind kind = ArgKind::kNone;  // kNone for "%%"
  bool leftAlign = false, zeroPad = false;
  int width = 0, precision = -1;
  char32_t type = 0;
  size_t end = 0;  // just after the conversion's last character
};

// Reads the conversion that starts with the '%' at pos: flags - # 0, width, .precision, an h or
// l prefix and one of s S c C d i u x X, or "%%". Returns false when the characters that follow
// are not a conversion wsprintfW knows.
bool ParseConversion(const std::u32string &format, size_t pos, Conversion &conv) {
  size_t i = pos + 1;
  conv = Conversion();
  if (i < format.size() && format[i] == U'%') {
    conv.type = U'%';
    conv.end = i + 1;
    return true;
  }
  for (; i < format.size(); ++i) {
    if (format[i] == U'-')
      conv.leftAlign = true;
    else if (format[i] == U'0')
      conv.zeroPad = true;
    else if (format[i] != U'#')
      break;
  }
  for (; i < format.size() && format[i] >= U'0' && format[i] <= U'9'; ++i) {
    conv.width = conv.width * 10 + static_cast<int>(format[i] - U'0');
  }
  if (i < format.size() && format[i] == U'.') {
    conv.precision = 0;
    for (++i; i < format.size() && format[i] >= U'0' && format[i] <= U'9'; ++i) {
      conv.precision = conv.precision * 10 + static_cast<int>(format[i] - U'0');
    }
  }
  if (i < format.size() && (format[i] == U'h' || format[i] == U'l')) ++i;
  if (i >= format.size()) return false;
  conv.type = format[i];
  switch (conv.type) {
    case U's':
    case U'S':
      conv.kind = ArgKind::kString;
      break;
    case U'c':
    case U'C':
      conv.kind = ArgKind::kChar;
      break;
    case U'd':
    case U'i':
    case U'u':
    case U'x':
    case U'X':
      conv.kind = ArgKind::kNumber;
      break;
    default:
      return false;
  }
  conv.end = i + 1;
  return true;
}

// ---- Composition --------------------------------------------------------------------------

// Where a UI text (or lines picked from it) stands inside a composed text.
struct Span {
  int uiText;
  size_t begin, end;
};

struct Piece {
  std::u32string text;
  std::vector<Span> spans;
};

struct Arg {
  ArgKind kind;
  Piece piece;          // kString
  unsigned number = 0;  // kNumber
};

Piece FromUi(const TableSources &t, int lang, int k) {
  std::u32string text = Decode(t.uiTexts[lang][k]);
  return Piece{text, {Span{k, 0, text.size()}}};
}

Piece FromInternal(const TableSources &t, int i) { return Piece{Widen(t.internalStrings[i]), {}}; }

Piece FromLiteral(const char32_t *text) { return Piece{text, {}}; }

// PickLines: the chosen lines of a text, each followed by CR LF.
Piece PickLines(const TableSources &t, int lang, int k, std::vector<int> numbers) {
  std::vector<std::u32string> lines = SplitLines(Decode(t.uiTexts[lang][k]));
  std::u32string out;
  for (int n : numbers) {
    if (n >= 1 && static_cast<size_t>(n) <= lines.size()) out += lines[n - 1];
    out += U"\r\n";
  }
  return Piece{out, {Span{k, 0, out.size()}}};
}

Arg S(Piece piece) { return Arg{ArgKind::kString, std::move(piece)}; }
Arg N(unsigned number) { return Arg{ArgKind::kNumber, {}, number}; }

// Formats like wsprintfW. Returns false when the format's conversions do not take exactly the
// given arguments; the format itself is then the internal string checks' concern.
bool Format(const std::u32string &format, const std::vector<Arg> &args, Piece &out) {
  out = Piece();
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != U'%') {
      out.text += format[i];
      continue;
    }
    Conversion conv;
    if (!ParseConversion(format, i, conv)) return false;
    i = conv.end - 1;
    if (conv.type == U'%') {
      out.text += U'%';
      continue;
    }
    if (next >= args.size() || args[next].kind != conv.kind) return false;
    const Arg &arg = args[next++];
    std::u32string value;
    if (arg.kind == ArgKind::kString) {
      value = arg.piece.text;
      if (conv.precision >= 0 && value.size() > static_cast<size_t>(conv.precision)) {
        value.resize(conv.precision);
      }
    } else {
      const bool hex = conv.type == U'x' || conv.type == U'X';
      std::string digits;
      for (unsigned v = arg.number;; v /= hex ? 16 : 10) {
        digits.insert(digits.begin(), "0123456789abcdef"[v % (hex ? 16 : 10)]);
        if (v < (hex ? 16u : 10u)) break;
      }
      for (char c : digits) {
        value += static_cast<char32_t>(conv.type == U'X' ? std::toupper(c) : c);
      }
    }
    const size_t pad =
        value.size() < static_cast<size_t>(conv.width) ? conv.width - value.size() : 0;
    const char32_t fill =
        conv.zeroPad && !conv.leftAlign && arg.kind == ArgKind::kNumber ? U'0' : U' ';
    if (!conv.leftAlign) out.text.append(pad, fill);
    const size_t base = out.text.size();
    out.text += value;
    for (const Span &s : arg.piece.spans) {
      if (s.begin >= value.size()) continue;
      out.spans.push_back(Span{s.uiText, base + s.begin, base + std::min(s.end, value.size())});
    }
    if (conv.leftAlign) out.text.append(pad, U' ');
  }
  return next == args.size();
}

// ---- Reporting --------------------------------------------------------------------------------

class Reporter {
 public:
  explicit Reporter(std::vector<std::string> &errors) : errors_(errors) {}
  void Add(int k, int lang, const std::string &message) {
    errors_.push_back("UI text " + std::to_string(k) + " (" + kLanguageCodes[lang] +
                      "): " + message);
  }

 private:
  std::vector<std::string> &errors_;
};

std::string Quoted(const std::u32string &text) { return "\"" + Shown(text) + "\""; }

// ---- Rules on each text by itself ---------------------------------------------------------------

void CheckCharacters(Reporter &r, int k, int lang, const std::u32string &text, unsigned uses) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char32_t cp = text[i];
    if (cp == U'\r' && (i + 1 >= text.size() || text[i + 1] != U'\n')) {
      r.Add(k, lang,
            "CR without LF at character " + std::to_string(i) +
                "; line breaks are CR LF (the pane shows nothing else as a break)");
    } else if (cp == U'\n' && (i == 0 || text[i - 1] != U'\r')) {
      r.Add(k, lang,
            "LF without CR at character " + std::to_string(i) +
                "; line breaks are CR LF (lines are split at CR)");
    } else if ((cp < 0x20 && cp != U'\r' && cp != U'\n') || cp == 0x7F) {
      r.Add(k, lang,
            "control character " + std::to_string(cp) + " at character " + std::to_string(i));
    }
  }
  if ((uses & kOneLine) && text.find_first_of(U"\r\n") != std::u32string::npos) {
    r.Add(k, lang,
          "must be a single line (shown as a caption, menu item, tooltip or inside a line)");
  }
  if ((uses & kPhrase) && !text.empty() &&
      (IsSpace(text.front()) || IsSpace(text.back()) || text.front() == U'\r' ||
       text.back() == U'\n')) {
    r.Add(k, lang, "is placed inside a composed text and must not begin or end with white space");
  }
}

void CheckAmpersands(Reporter &r, int k, int lang, const std::u32string &text, unsigned uses) {
  if (!(uses & kPrefixed) || text.find(U'&') == std::u32string::npos) return;
  if (uses & kLiteral) {
    r.Add(k, lang,
          "must not contain '&': it is shown both where '&' marks a mnemonic and where "
          "it is shown as is");
    return;
  }
  int mnemonics = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != U'&') continue;
    if (i + 1 < text.size() && text[i + 1] == U'&') {
      ++i;
    } else if (i + 1 >= text.size() || IsSpace(text[i + 1]) || (uses & (kTip | kHeading))) {
      r.Add(k, lang,
            "has a '&' that would not be shown (write \"&&\" for a '&'; a mnemonic "
            "belongs only in a text shown in menus and on buttons alone)");
      return;
    } else {
      ++mnemonics;
    }
  }
  if (mnemonics > 1) r.Add(k, lang, "has " + std::to_string(mnemonics) + " mnemonics; at most one");
}

// No UI text is itself a format: every one is shown as is or passed as an argument.
void CheckPercent(Reporter &r, int k, int lang, const std::u32string &text, unsigned uses) {
  for (size_t i = text.find(U'%'); i != std::u32string::npos; i = text.find(U'%', i + 1)) {
    Conversion conv;
    if (ParseConversion(text, i, conv)) {
      r.Add(k, lang,
            "contains the conversion " + Quoted(text.substr(i, conv.end - i)) +
                ", but the text is never used as a format and it would show as written");
      return;
    }
    if (uses & kPhrase) {
      r.Add(k, lang,
            "contains a stray '%' at character " + std::to_string(i) +
                "; phrases placed into formats hold no '%'");
      return;
    }
  }
}

void CheckSize(Reporter &r, int k, int lang, const std::u32string &text, unsigned uses) {
  const std::vector<std::u32string> lines = SplitLines(text);
  auto widest = [&lines] {
    int w = 0;
    for (const std::u32string &line : lines) w = std::max(w, Width(line));
    return w;
  };
  auto tooWide = [&](const char *what, int limit) {
    r.Add(k, lang,
          std::string("too long for ") + what + ": about " + std::to_string(widest()) +
              " pixels, room for " + std::to_string(limit));
  };
  if ((uses & kButton) && widest() > kButtonWidth) tooWide("its button", kButtonWidth);
  if ((uses & kTitle) && widest() > kTitleWidth) tooWide("the window title", kTitleWidth);
  if ((uses & (kCaption | kTip)) && widest() > kOneLineWidth) {
    tooWide("a caption or notice", kOneLineWidth);
  }
  if (uses & kHeading) {
    if (lines.size() > static_cast<size_t>(kHeadingLines)) {
      r.Add(k, lang,
            "has " + std::to_string(lines.size()) + " lines; the heading label shows " +
                std::to_string(kHeadingLines));
    }
    if (widest() > kHeadingWidth) tooWide("a line of the heading label", kHeadingWidth);
  }
  if ((uses & kInPane) && widest() > kPaneLineWidth) {
    tooWide("a line of the information pane", kPaneLineWidth);
  }
}

void CheckLineStructure(Reporter &r, int k, int lang, const std::u32string &text) {
  const std::vector<std::u32string> lines = SplitLines(text);
  if (k == kPickedText) {
    int needed = 0;
    for (int n : kPickedLines) needed = std::max(needed, n);
    if (lines.size() < static_cast<size_t>(needed)) {
      r.Add(k, lang,
            "needs at least " + std::to_string(needed) + " lines, has " +
                std::to_string(lines.size()));
      return;
    }
    for (int n : kPickedLines) {
      if (lines[n - 1].empty()) {
        r.Add(k, lang, "line " + std::to_string(n) + " is picked for failure reports and is empty");
      }
    }
  }
}

// ---- Rules on the composed texts --------------------------------------------------------------

struct Composition {
  const char *name;
  Piece piece;
  size_t maxUnits = 0;  // room in the buffer it is formatted into, 0 when not tight
};

// The texts the program composes from UI texts, as far as they are known beforehand; an argument
// that comes from elsewhere (pane text, sizes) gets a typical value.
std::vector<Composition> Compose(const TableSources &t, int lang) {
  std::vector<Composition> out;
  auto fmt = [&t](int i) { return Widen(t.internalStrings[i]); };
  auto ui = [&t, lang](int k) { return FromUi(t, lang, k); };
  auto add = [&out](const char *name, const std::u32string &format, const std::vector<Arg> &args,
                    Piece *result = nullptr) {
    Piece piece;
    if (!Format(format, args, piece)) return false;
    if (result) *result = piece;
    out.push_back(Composition{name, piece, 0});
    return true;
  };
  const unsigned total = 1048576, sent = 524288;

  if (add("the About text (internal string 132)", fmt(132), {S(ui(5)), S(FromLiteral(U"2.91"))})) {
    out.back().maxUnits = kAboutUnits;
  }

  // Failure lines: the pane holds the upgrade's opening text when a check fails.
  Piece detail;
  if (add("a failure detail (internal string 128)", fmt(128), {S(ui(30))}, &detail)) {
    add("a failure line (internal string 135)", fmt(135),
        {S(ui(25)), S(FromInternal(t, 81)), S(detail)});
  }
  if (add("a failure detail (internal string 128)", fmt(128),
          {S(PickLines(t, lang, kPickedText, {kPickedLines[0], kPickedLines[1]}))}, &detail)) {
    add("a failure line (internal string 135)", fmt(135),
        {S(ui(25)), S(FromInternal(t, 80)), S(detail)});
  }
  add("a failure box (internal string 128)", fmt(128),
      {S(PickLines(t, lang, kPickedText, {kPickedLines[0]}))});
  add("the reason of a failure box (internal string 104)", fmt(104),
      {S(FromInternal(t, 83)), S(ui(30))});
  Piece error;
  if (add("an upgrade error (internal string 132)", fmt(132), {S(ui(22)), S(FromInternal(t, 87))},
          &error) &&
      add("a failure detail (internal string 128)", fmt(128), {S(error)}, &detail)) {
    add("a failure line (internal string 135)", fmt(135),
        {S(ui(25)), S(FromInternal(t, 0)), S(detail)});
  }

  // Single-image package and raw image.
  Piece snapshot;
  if (add("the pane before the transfer (internal string 130)", fmt(130), {S(ui(25))}, &snapshot)) {
    add("the model note (internal string 122)", fmt(122), {S(snapshot), S(ui(34))});
    add("the model note (internal string 122)", fmt(122), {S(snapshot), S(ui(35))});
    add("the check line (internal string 124)", fmt(124),
        {S(snapshot), S(ui(24)), N(sent), N(total)});
    add("the progress line (internal string 124)", fmt(124),
        {S(snapshot), S(ui(28)), N(sent), N(total)});
    add("the final progress line (internal string 125)", fmt(125),
        {S(snapshot), S(ui(28)), N(total), N(total), S(ui(20))});
  }
  add("the upgrade result (internal string 128)", fmt(128), {S(ui(32))});
  add("the upgrade result (internal string 122)", fmt(122), {S(ui(34)), S(ui(32))});
  add("the upgrade result (internal string 122)", fmt(122), {S(ui(35)), S(ui(32))});
  add("the upgrade result (internal string 129)", fmt(129), {S(ui(20))});

  // Multi-part package.
  Piece parts, message;
  if (add("the pane before the transfer (internal string 130)", fmt(130), {S(ui(25))}, &snapshot) &&
      add("the transfer note (internal string 122)", fmt(122), {S(snapshot), S(ui(32))},
          &snapshot) &&
      add("the part line (internal string 123)", fmt(123), {S(snapshot), S(ui(28)), N(1), N(3)},
          &parts) &&
      add("the multi-part result (internal string 131)", fmt(131), {S(ui(20))}, &message)) {
    add("the multi-part result line (internal string 135)", fmt(135),
        {S(parts), S(FromInternal(t, 0)), S(message)});
  }
  return out;
}

// Where a UI text meets the text around it: words must not run together and punctuation must not
// be doubled.
void CheckJoins(Reporter &r, int lang, const Composition &c, std::vector<std::string> &seen) {
  const std::u32string &text = c.piece.text;
  auto excerpt = [&text](size_t at) {
    size_t from = at > 12 ? at - 12 : 0;
    return Quoted(text.substr(from, std::min<size_t>(24, text.size() - from)));
  };
  auto report = [&](const Span &s, const std::string &what, size_t at) {
    std::string message = what + " in " + c.name + ": " + excerpt(at);
    std::string key = std::to_string(s.uiText) + message;
    for (const std::string &m : seen) {
      if (m == key) return;
    }
    seen.push_back(key);
    r.Add(s.uiText, lang, message);
  };
  for (const Span &s : c.piece.spans) {
    if (s.begin == s.end) continue;
    if (s.begin > 0) {
      const char32_t before = text[s.begin - 1], first = text[s.begin];
      if (IsWordChar(before) && IsWordChar(first)) {
        report(s, "runs into the text before it", s.begin);
      } else if (IsPunctuation(before) && IsPunctuation(first)) {
        report(s, "doubles the punctuation before it", s.begin);
      }
    }
    if (s.end < text.size()) {
      const char32_t last = text[s.end - 1], after = text[s.end];
      if (IsWordChar(last) && IsWordChar(after)) {
        report(s, "runs into the text after it", s.end);
      } else if (IsPunctuation(last) && IsPunctuation(after)) {
        report(s, "doubles the punctuation after it", s.end);
      }
    }
  }
}

}  // namespace

void CheckUiTexts(const TableSources &tables, std::vector<std::string> &errors) {
  Reporter r(errors);
  for (int lang = 0; lang < kLanguageCount; ++lang) {
    for (int k = 0; k < kUiTextCount; ++k) {
      const unsigned uses = kUses[k];
      const std::u32string text = Decode(tables.uiTexts[lang][k]);
      if (uses == 0) continue;
      if (text.empty()) {
        r.Add(k, lang, "is empty; the program shows it");
        continue;
      }
      CheckCharacters(r, k, lang, text, uses);
      CheckAmpersands(r, k, lang, text, uses);
      CheckPercent(r, k, lang, text, uses);
      CheckSize(r, k, lang, text, uses);
      CheckLineStructure(r, k, lang, text);
    }
    std::vector<std::string> seen;
    for (const Composition &c : Compose(tables, lang)) {
      const size_t units = Utf16Units(c.piece.text);
      if (c.maxUnits != 0 && units > c.maxUnits) {
        for (const Span &s : c.piece.spans) {
          r.Add(s.uiText, lang,
                std::string("makes ") + c.name + " " + std::to_string(units) +
                    " characters long; its buffer holds " + std::to_string(c.maxUnits));
        }
      }
      CheckJoins(r, lang, c, seen);
    }
  }
}
