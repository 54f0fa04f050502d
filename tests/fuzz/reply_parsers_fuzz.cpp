// Fuzzing the six reply parsers of the information query as the query runs them: any reply a
// printer of either family may send must fill its field without running past the reply or the
// field, and leave every field a terminated text that fits it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "app/stored_tables.h"
#include "app/tables.h"
#include "device/discovery.h"
#include "device/operation_sink.h"
#include "info/information_query.h"
#include "info/model_identification.h"
#include "info/reply_parsers.h"

// The core reports through its front end's sink and texts; here there is none to show them.
OperationSink &ActiveSink() {
  static OperationSink quiet;
  return quiet;
}
const wchar_t *UiText(int k) { return UiTextIn(kEnglish, k); }

namespace {

template <size_t N>
void CheckField(const wchar_t (&field)[N]) {
  if (wcsnlen(field, N) >= N) __builtin_trap();  // not terminated inside the field
}

using Parser = int (*)(unsigned char *, int);
const Parser kParsers[6] = {ParseModelReply,       ParseFirmwareVersionReply,
                            ParseProductCodeReply, ParseMacAddressReply,
                            ParseMemorySizeReply,  ParseVersionTextReply};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  InflateUiTexts(storedUiTexts, storedUiTextsLength);
  InflateInternalStrings(storedInternalStrings, storedInternalStringsLength);
  InflateModelTable(storedModelTable, storedModelTableLength);
  // The printer asked for more (print name, kernel version) answers nothing: no printer listed.
  std::wcscpy(currentDeviceId, L"4B560100");
  return 0;
}

// The first byte chooses the parser (bits 0-2), the family (bit 3) and whether the display name
// asks for the print name (bit 4); the rest is the reply.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int parser = data[0] % 6;
  protocolFamily = (data[0] & 8) ? 2 : 1;
  std::wcscpy(currentDisplayName, (data[0] & 16) ? L"Unknown printer (4B560100)" : L"KL-1020");
  for (wchar_t *field : {modelCode, firmwareVersion, productCode, macAddress, memorySize,
                         versionText, deviceCode}) {
    std::wcscpy(field, L"?");
  }
  // Exactly the reply's bytes, so that the sanitizers see any read past its end; the query
  // parses in the 4096-byte reply buffer, which no reply outgrows.
  const size_t length = size - 1 < 4096 ? size - 1 : 4096;
  std::vector<unsigned char> reply(data + 1, data + 1 + length);
  static unsigned char none[1];
  kParsers[parser](reply.empty() ? none : reply.data(), static_cast<int>(length));

  CheckField(modelCode);
  CheckField(firmwareVersion);
  CheckField(productCode);
  CheckField(macAddress);
  CheckField(memorySize);
  CheckField(versionText);
  CheckField(currentDisplayName);
  // Control bytes of a print name would add lines to the information text.
  for (const wchar_t *c = currentDisplayName; *c; ++c) {
    if (*c < 0x20) __builtin_trap();
  }
  return 0;
}
