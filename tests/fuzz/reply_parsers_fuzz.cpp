// Fuzzing the reply parsers of the information query: any reply a printer of either family may
// send must fill its field without running past the reply or the field, and leave every field a
// terminated text that fits it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <vector>

#include "device/connection.h"
#include "info/information_query.h"
#include "info/reply_parsers.h"
#include "tables/stored_tables.h"
#include "tables/tables.h"

namespace {

template <size_t N>
void CheckField(const wchar_t (&field)[N]) {
  if (wcsnlen(field, N) >= N) __builtin_trap();  // not terminated inside the field
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  InflateUiTexts(storedUiTexts, storedUiTextsLength);
  InflateInternalStrings(storedInternalStrings, storedInternalStringsLength);
  InflateModelTable(storedModelTable, storedModelTableLength);
  return 0;
}

// The first byte chooses the parser (its value modulo 8) and the family (bit 3); the rest is the
// reply.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int parser = data[0] % 8;
  const int family = (data[0] & 8) ? 2 : 1;
  InformationFields fields;
  for (wchar_t *field : {fields.modelCode, fields.firmwareVersion, fields.productCode,
                         fields.macAddress, fields.memorySize, fields.versionText}) {
    std::wcscpy(field, L"?");
  }
  wchar_t displayName[kDisplayNameUnits] = L"Unknown printer (4B560100)";
  // Exactly the reply's bytes, so that the sanitizers see any read past its end; the query
  // parses in the 4096-byte reply buffer, which no reply outgrows. The print name is read up to
  // its terminator within that buffer, so it gets the buffer whole.
  const size_t length = size - 1 < 4096 ? size - 1 : 4096;
  std::vector<unsigned char> reply(data + 1, data + 1 + length);
  static unsigned char none[1];
  unsigned char *bytes = reply.empty() ? none : reply.data();
  const int n = static_cast<int>(length);
  bool needsKernel = false;
  const unsigned char firmware[7] = {'V', '3', '.', '0', '1', '.', '2'};
  switch (parser) {
    case 0: ParseModelReply(family, bytes, n, fields.modelCode); break;
    case 1: ParseFirmwareVersionReply(family, bytes, n, fields.firmwareVersion, &needsKernel); break;
    case 2: ParseKernelVersionReply(bytes, n, firmware, fields.firmwareVersion); break;
    case 3: ParseProductCodeReply(bytes, n, fields.productCode); break;
    case 4: ParseMacAddressReply(family, bytes, n, fields.macAddress); break;
    case 5: ParseMemorySizeReply(family, bytes, n, fields.memorySize); break;
    case 6: {
      unsigned char shown[4096];
      const size_t count = ParseVersionTextReply(family, bytes, n, shown);
      if (count > 4096) __builtin_trap();
      if (n > 0) ShowVersionText(shown, count, fields.versionText);
      break;
    }
    default: {
      unsigned char block[4096] = {};
      std::memcpy(block, bytes, length);
      ParsePrintNameReply(block, L"4B560100", displayName);
      break;
    }
  }
  CheckField(fields.modelCode);
  CheckField(fields.firmwareVersion);
  CheckField(fields.productCode);
  CheckField(fields.macAddress);
  CheckField(fields.memorySize);
  CheckField(fields.versionText);
  CheckField(displayName);
  // Control bytes of a print name would add lines to the information text.
  for (const wchar_t *c = displayName; *c; ++c) {
    if (*c < 0x20) __builtin_trap();
  }
  ReportsProductDate(fields.firmwareVersion);
  return 0;
}
