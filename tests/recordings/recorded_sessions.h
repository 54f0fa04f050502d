// The sessions whose recordings are kept in tests/recordings: what korvex was asked, of which
// printer, with which firmware file. The test that records them anew (tests/cli) and the tests
// that replay them to both front ends (tests/cli, tests/printers/win32) share this table, so
// that the firmware files they build are the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/package.h"
#include "firmware/package_builder.h"
#include "tests/bytes/package_test_support.h"

namespace recorded_sessions {

enum class Firmware { None, SingleImage, MultiPart, RawImage };

struct Session {
  const char *name;  // tests/recordings/NAME.jsonl
  // korvex's command and its arguments; "FILE" stands for the firmware file.
  std::vector<std::string> korvex;
  Firmware firmware;
  int family;     // the printer recorded: 1 a KL-1020 without serial number, 2 an Orbis 300
  bool redacted;  // recorded with --redact
  // The window program's command for the same operation: its menu id, or 0 for the upgrade of
  // the firmware file (korvex_tool.exe FILE).
  int windowCommand;
};

// The query button and the first panel language of the maintenance menu (command 3).
constexpr int kQueryCommand = 900;
constexpr int kPanelLanguageEnglishCommand = 700;

inline const std::vector<Session> &Sessions() {
  static const std::vector<Session> sessions = {
      {"info_family2", {"info"}, Firmware::None, 2, false, kQueryCommand},
      {"info_family1_redacted", {"info"}, Firmware::None, 1, true, kQueryCommand},
      {"maintenance_family2", {"maintenance", "3"}, Firmware::None, 2, false,
       kPanelLanguageEnglishCommand},
      {"upgrade_single_image", {"upgrade", "FILE"}, Firmware::SingleImage, 2, false, 0},
      {"upgrade_multi_part", {"upgrade", "FILE"}, Firmware::MultiPart, 2, false, 0},
      {"upgrade_raw_image", {"upgrade", "FILE"}, Firmware::RawImage, 2, false, 0},
  };
  return sessions;
}

// What the recorded Orbis 300 reports, as far as the firmware files depend on it.
constexpr char kOrbisProductCode[] = "KV30100A01";
constexpr char kOrbisFirmwareVersion[] = "3.01.22";
constexpr char kOrbisDeviceId[] = "4B56015C";

// A part of a multi-part package: "\x1B%" and bytes of a fixed sequence.
inline std::vector<unsigned char> PartBytes(size_t length, uint32_t mix) {
  std::vector<unsigned char> data(length);
  uint32_t x = mix;
  for (unsigned char &byte : data) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(x >> 16);
  }
  data[0] = 0x1B;
  data[1] = '%';
  return data;
}

// The firmware file of a session, the same bytes in every tree; small, as a recording keeps
// only firmware's length and SHA-256.
inline std::vector<unsigned char> FirmwareFile(Firmware kind) {
  using package_test::FirmwareLike;
  using package_test::Text;
  switch (kind) {
    case Firmware::SingleImage: {
      const std::vector<unsigned char> image = FirmwareLike(48000, 0x1B, 21);
      return BuildSingleImagePackage(Text(kOrbisProductCode), image.data(), image.size(), 16384,
                                     6);
    }
    case Firmware::MultiPart: {
      unsigned char descriptor[kDescriptorLength];
      MakeDescriptor(descriptor, Text(kOrbisProductCode), Text(kOrbisFirmwareVersion),
                     Text(kOrbisDeviceId), '2');
      std::vector<unsigned char> package;
      AppendMultiPartHeader(package, descriptor);
      const std::vector<unsigned char> parts[] = {PartBytes(12000, 5), PartBytes(9000, 6)};
      for (const std::vector<unsigned char> &part : parts) {
        AppendPart(package, Text(kOrbisProductCode), 1, part.data(), part.size());
      }
      return package;
    }
    case Firmware::RawImage:
      return FirmwareLike(30000, 0x1B, 23);
    case Firmware::None:
      break;
  }
  return {};
}

}  // namespace recorded_sessions
