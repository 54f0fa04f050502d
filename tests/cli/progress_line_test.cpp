// A printer's progress line fitted to terminals of every width.
#include <gtest/gtest.h>

#include <string>

#include "cli/progress_line.h"

namespace {

ProgressLine Transfer(const std::string &prefix) {
  ProgressLine line;
  line.prefix = prefix;
  line.label = "Transfer";
  line.fraction = 0.41;
  line.percent = 41;
  line.amount = "1.6 MiB of 3.8 MiB";
  line.rate = "500 KiB/s";
  line.left = "0:05 left";
  return line;
}

bool Contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// Whether every multi-byte character of the text is whole.
bool WholeUtf8(const std::string &text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// With room for it all, the line reads as it always has; as the room shrinks, the time left goes
// first, then the rate, then the bar shrinks, and the printer and its percentage stay.
TEST(ProgressLine, PartsGoInTheirOrderAsTheRoomShrinks) {
  const ProgressLine line = Transfer("usb:1-1.4.2: ");
  const std::string whole =
      "usb:1-1.4.2: Transfer [#########---------------] 41%  1.6 MiB of 3.8 MiB  500 KiB/s  "
      "0:05 left";
  EXPECT_EQ(FitProgressLine(line, 200), whole);
  EXPECT_EQ(FitProgressLine(line, whole.size()), whole);

  const std::string noLeft = FitProgressLine(line, whole.size() - 1);
  EXPECT_EQ(noLeft,
            "usb:1-1.4.2: Transfer [#########---------------] 41%  1.6 MiB of 3.8 MiB  500 KiB/s");
  const std::string noRate = FitProgressLine(line, noLeft.size() - 1);
  EXPECT_EQ(noRate, "usb:1-1.4.2: Transfer [#########---------------] 41%  1.6 MiB of 3.8 MiB");
  // One column less: the bar gives it up, and fills as far as ever.
  EXPECT_EQ(FitProgressLine(line, noRate.size() - 1),
            "usb:1-1.4.2: Transfer [#########--------------] 41%  1.6 MiB of 3.8 MiB");
  // At 40 columns of a terminal: the bar, then the amount, have gone.
  EXPECT_EQ(FitProgressLine(line, 39), "usb:1-1.4.2: Transfer [####-------] 41%");

  for (size_t room = 0; room <= whole.size(); ++room) {
    const std::string text = FitProgressLine(line, room);
    ASSERT_LE(Columns(text), room) << text;
    if (room >= std::string("usb:1-1.4.2: 41%").size()) {
      EXPECT_EQ(text.rfind("usb:1-1.4.2: ", 0), 0u) << room << ": " << text;
      EXPECT_TRUE(Contains(text, "41%")) << room << ": " << text;
    }
    // The bar, whenever drawn, shows the same share.
    const size_t open = text.find('['), close = text.find(']');
    if (open != std::string::npos) {
      const std::string bar = text.substr(open + 1, close - open - 1);
      EXPECT_EQ(bar.find_first_not_of('#'), static_cast<size_t>(0.41 * bar.size())) << text;
    }
    EXPECT_EQ(Contains(text, "0:05 left"), room >= whole.size()) << room;
  }
}

// A serial number in the prefix counts by its characters, not its bytes, and is never cut in
// the middle of one.
TEST(ProgressLine, APrefixOfManyBytesIsCountedAndCutByCharacters) {
  const ProgressLine line = Transfer("Dr\xC3\xBC" "cker-\xE2\x84\x96" "7: ");  // Drücker-№7
  for (size_t room = 0; room <= 100; ++room) {
    const std::string text = FitProgressLine(line, room);
    EXPECT_LE(Columns(text), room) << text;
    EXPECT_TRUE(WholeUtf8(text)) << room;
    if (room >= 15) EXPECT_TRUE(Contains(text, "41%")) << room << ": " << text;
  }
  // All that fits of the barest line when not even the percentage does.
  EXPECT_EQ(FitProgressLine(line, 3), "Dr\xC3\xBC");
}

// An ended row's line keeps its outcome whole, on the live rows as on the line left above them,
// which gives up only what loses no fact.
TEST(ProgressLine, TheOutcomeOfAnEndedRowIsNeverLost) {
  ProgressLine line = Transfer("lp1: ");
  line.outcome = "FAILED after firmware reached it";
  EXPECT_EQ(FitProgressLine(line, 79),
            "lp1: Transfer 41%  1.6 MiB of 3.8 MiB  FAILED after firmware reached it");
  EXPECT_EQ(FitProgressLine(line, 51), "lp1: Transfer 41%  FAILED after firmware reached it");
  EXPECT_EQ(FitProgressLine(line, 42), "lp1: 41%  FAILED after firmware reached it");
  EXPECT_EQ(FitProgressLine(line, 41), "lp1: 41%  FAILED after firmware reached i");

  EXPECT_EQ(FinalProgressLine(line, 200),
            "lp1: Transfer [#########---------------] 41%  1.6 MiB of 3.8 MiB  500 KiB/s  "
            "FAILED after firmware reached it");
  EXPECT_EQ(FinalProgressLine(line, 39),
            "lp1: Transfer 41%  1.6 MiB of 3.8 MiB  FAILED after firmware reached it");
}

}  // namespace
