// Byte checks of the replies to the information queries.
#include <gtest/gtest.h>

#include <string>

#include "info/reply_checks.h"

namespace {

const unsigned char *Bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

TEST(ReplyChecks, DecimalValueReadsLikeTheCLibrary) {
  struct Case {
    std::string text;
    int32_t value;
  } cases[] = {
      {std::string("12345\0", 6), 12345},  {"-42", -42},       {"  \t+7x", 7},
      {"", 0},                             {"-", 0},           {"abc", 0},
      {"2147483647", 2147483647},          {"-2147483648", INT32_MIN},
      {"0007", 7},                         {"12 34", 12},
  };
  for (const Case &c : cases) EXPECT_EQ(DecimalValue(Bytes(c.text), c.text.size()), c.value) << c.text;
}

TEST(ReplyChecks, ModelAndMemoryNumbers) {
  EXPECT_TRUE(IsModelNumberReply(Bytes(std::string("-1234\0", 6)), 6)) << "minus, digits, NUL";
  EXPECT_TRUE(IsModelNumberReply(Bytes("5-"), 2));
  EXPECT_TRUE(IsModelNumberReply(Bytes("12x"), 3)) << "the last byte is not tested";
  EXPECT_FALSE(IsModelNumberReply(Bytes("1x2"), 3));
  EXPECT_FALSE(IsModelNumberReply(Bytes("+12"), 3));

  EXPECT_TRUE(IsMemoryNumberReply(Bytes(std::string("256\0", 4)), 4));
  EXPECT_FALSE(IsMemoryNumberReply(Bytes("-256"), 4));
  EXPECT_FALSE(IsMemoryNumberReply(Bytes("2 56"), 4));
  // Only the first ten bytes before the last are looked at.
  EXPECT_TRUE(IsMemoryNumberReply(Bytes("0123456789xyz"), 13));
}

TEST(ReplyChecks, VersionAndProductCodeCharacters) {
  EXPECT_TRUE(AreVersionBytes(Bytes("V1.02.a")));
  EXPECT_FALSE(AreVersionBytes(Bytes("V1-02.a"))) << "a minus sign is no version character";
  EXPECT_FALSE(AreVersionBytes(Bytes("V1.02 a")));

  EXPECT_TRUE(IsProductCodeReply(Bytes("KX12AB34CD"), 10));
  EXPECT_TRUE(IsProductCodeReply(Bytes(std::string("KX12AB34CD\0zz", 13)), 13));
  EXPECT_FALSE(IsProductCodeReply(Bytes("KX12AB34C"), 9)) << "nine characters";
  EXPECT_FALSE(IsProductCodeReply(Bytes("KX12AB34CDE"), 11)) << "eleven characters";
  EXPECT_FALSE(IsProductCodeReply(Bytes("KX12AB34C-"), 10));
}

TEST(ReplyChecks, MacAddressTextIsUsedOnlyWhenItLooksLikeOne) {
  const std::string mac = std::string("00:1b:4B:56:a0:FF") + '\0';  // 18 bytes
  EXPECT_EQ(MacAddressLength(1, Bytes(mac), mac.size()), 17u);
  EXPECT_EQ(MacAddressLength(2, Bytes(mac), mac.size()), 17u);
  EXPECT_EQ(MacAddressLength(1, Bytes(mac), 17), 0u) << "family 1 needs exactly 18 bytes";
  EXPECT_EQ(MacAddressLength(2, Bytes(mac), 16), 0u) << "family 2 needs more than 16";
  const std::string dashes = std::string("00-1b-4B-56-a0-FF") + '\0';
  EXPECT_EQ(MacAddressLength(2, Bytes(dashes), dashes.size()), 0u);
  const std::string lower = std::string("00:1g:4b:56:a0:ff") + '\0';
  EXPECT_EQ(MacAddressLength(2, Bytes(lower), lower.size()), 0u) << "g is no hexadecimal letter";
  const std::string longer = std::string("00:1b:4b:56:a0:ff:01") + '\0';
  EXPECT_EQ(MacAddressLength(2, Bytes(longer), longer.size()), 0u) << "too long for the field";
}

TEST(ReplyChecks, VersionTextIsOneLineWithSingleSpaces) {
  struct Case {
    int family;
    std::string reply;
    std::string text;
  } cases[] = {
      {2, "header line\nKorvex OS 4.2\tbuild  17\r\n", "Korvex OS 4.2 build 17"},
      {2, "only one line\n", ""},
      {2, "no line feed at all", "no line feed at all"},
      {2, "x\n\t\tstarts with tabs", " starts with tabs"},
      {1, "fw\n2.01", "fw 2.01"},
      {1, std::string("ab\0\0cd   ", 9), "ab cd"},
      {2, "", ""},
  };
  for (Case &c : cases) {
    std::string reply = c.reply;
    std::string out(reply.size() + 1, '#');
    const size_t n = NormaliseVersionText(c.family, reinterpret_cast<unsigned char *>(&reply[0]),
                                          reply.size(), reinterpret_cast<unsigned char *>(&out[0]));
    EXPECT_EQ(out.substr(0, n), c.text) << c.reply;
  }
}

}  // namespace
