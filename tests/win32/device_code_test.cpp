// The device code: MD5 through CryptoAPI over the identity fields and the salt.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/built_in_tables.h"
#include "app/printer_state.h"
#include "device/discovery.h"
#include "info/device_code.h"
#include "info/information_query.h"

namespace {

std::string Hex(const unsigned char *bytes, int n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (int i = 0; i < n; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string Md5(const std::string &bytes) {
  unsigned char digest[16] = {};
  EXPECT_EQ(Md5Digest(reinterpret_cast<const unsigned char *>(bytes.data()),
                      static_cast<int>(bytes.size()), digest),
            0);
  return Hex(digest, 16);
}

// The salt as the device code must use it; written here independently of the program's
// stored form.
const std::string kSalt = "Kx7#rv2!q";

class DeviceCode : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ExpandInternalStrings(), 0);
    lstrcpyW(productCode, L"KX12AB34CD");
    lstrcpyW(currentDeviceId, L"4B56002B");
    lstrcpyW(modelCode, L"0102030A");
    lstrcpyW(macAddress, L"00:1b:4b:56:a0:ff");
    lstrcpyW(firmwareVersion, L"V1.02.a");
    lstrcpyW(memorySize, L"128");
    lstrcpyW(deviceCode, L"?");
  }
};

TEST_F(DeviceCode, Md5MatchesTheRfc1321Vectors) {
  EXPECT_EQ(Md5(""), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(Md5("a"), "0CC175B9C0F1B6A831C399E269772661");
  EXPECT_EQ(Md5("abc"), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_EQ(Md5("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
  EXPECT_EQ(Md5("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
  EXPECT_EQ(Md5("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "D174AB98D277D9F5A5611C2C9F419D9F");
  EXPECT_EQ(Md5("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                "7890"),
            "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST_F(DeviceCode, IsTheModelCodeTheSeparatorAndTheDigestOfFieldsAndSalt) {
  ASSERT_EQ(ComputeDeviceCode(), 0);
  const std::string hashed =
      "KX12AB34CD" "4B56002B" "0102030A" "00:1b:4b:56:a0:ff" "V1.02.a" "128" + kSalt;
  const std::string digest = Md5(hashed);
  const std::wstring expected = L"0102030A-" + std::wstring(digest.begin(), digest.end());
  EXPECT_EQ(std::wstring(deviceCode), expected);
  EXPECT_EQ(std::wstring(deviceCode).size(), 41u) << "fills the 42-unit field exactly";
}

TEST_F(DeviceCode, InputTakesEachFieldToItsMaximumAndOnlyLowBytes) {
  // Every field at its maximum: 10 + 8 + 8 + 17 + 15 + 4 + 9 bytes.
  lstrcpyW(firmwareVersion, L"K1.00.0 V1.02.a");
  lstrcpyW(memorySize, L"4096");
  unsigned char input[kDeviceCodeInputBytes];
  ASSERT_EQ(AssembleDeviceCodeInput(input), 71);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(input), 71),
            "KX12AB34CD4B56002B0102030A00:1b:4b:56:a0:ffK1.00.0 V1.02.a4096" + kSalt);
  EXPECT_EQ(input[71], 0) << "nothing past the counted bytes";

  // A unit above 0xFF gives its low byte; an empty model code gives nothing.
  productCode[0] = 0x0141;
  modelCode[0] = 0;
  ASSERT_EQ(AssembleDeviceCodeInput(input), 63);
  EXPECT_EQ(input[0], 0x41);
  EXPECT_EQ(input[18], '0') << "the MAC address follows the device id directly";
}

TEST_F(DeviceCode, EmptyModelCodeStartsWithTheSeparator) {
  modelCode[0] = 0;
  ASSERT_EQ(ComputeDeviceCode(), 0);
  EXPECT_EQ(deviceCode[0], L'-');
  EXPECT_EQ(std::wstring(deviceCode).size(), 33u);
}

}  // namespace
