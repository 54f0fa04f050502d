// The reply parsers of the information query: each takes the bytes of one reply and the
// printer's protocol family and returns what they hold, into the field it is given. They talk to
// nobody: where a family-2 printer must be asked once more (its own name, its kernel version),
// the query's step asks it and hands that reply to a parser of its own. Each returns 0 when its
// step is good and 1 when it failed, as the query adds them up. A reply is the reply buffer of a
// transaction and its length; some parsers mark it up in place (the version text).
#pragma once

#include <cstddef>

#include "info/information_fields.h"

// The model code: family 1, the header's bytes 6-9 in hex; family 2, the decimal model number.
int ParseModelReply(int family, const unsigned char *reply, int length, wchar_t (&modelCode)[kModelCodeUnits]);
// The name a family-2 printer gives itself when the model table does not know it, as its display
// name "NAME (DEVICEID)" (control bytes shown as spaces, the name cut to fit).
void ParsePrintNameReply(unsigned char *reply, const wchar_t *deviceId,
                         wchar_t (&displayName)[kDisplayNameUnits]);

// The firmware version: family 1 from the header, family 2 from the data block. A family-2
// version whose second character is no '.' is told by the kernel version in front of it:
// *needsKernel is then set and the field left for ParseKernelVersionReply.
int ParseFirmwareVersionReply(int family, const unsigned char *reply, int length,
                              wchar_t (&version)[kFirmwareVersionUnits], bool *needsKernel);
// The kernel version's reply and the firmware reply before it: "KERNEL FIRMWARE".
int ParseKernelVersionReply(const unsigned char *reply, int length,
                            const unsigned char *firmwareReply, wchar_t (&version)[kFirmwareVersionUnits]);
// Whether a family-2 printer with this version reports its product date where others keep
// /etc/version, so that the version-text question is asked for the date instead.
bool ReportsProductDate(const wchar_t (&version)[kFirmwareVersionUnits]);

int ParseProductCodeReply(const unsigned char *reply, int length, wchar_t (&code)[kProductCodeUnits]);
// Never fails its step: an answer that holds no address leaves the field as it was.
int ParseMacAddressReply(int family, const unsigned char *reply, int length,
                         wchar_t (&address)[kMacAddressUnits]);
int ParseMemorySizeReply(int family, const unsigned char *reply, int length,
                         wchar_t (&size)[kMemorySizeUnits]);
// The version text's bytes as they are shown (NormaliseVersionText: family 2 from its second
// line), into out (kReplyBlockBytes); how many. None for an empty answer, which leaves the field
// as it was: the step never fails. The query decodes them into the field.
size_t ParseVersionTextReply(int family, unsigned char *reply, int length, unsigned char *out);
