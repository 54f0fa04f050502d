// The six reply parsers of the information query. Each takes the reply (replyBuffer) and its
// length and returns 0 when the step is good, 1 when it failed; they read protocolFamily, fill
// their field, and the first two may ask the printer once more (which rewrites replyBuffer).
#pragma once

int ParseModelReply(unsigned char *reply, int length);
int ParseFirmwareVersionReply(unsigned char *reply, int length);
int ParseProductCodeReply(unsigned char *reply, int length);
int ParseMacAddressReply(unsigned char *reply, int length);
int ParseMemorySizeReply(unsigned char *reply, int length);
int ParseVersionTextReply(unsigned char *reply, int length);

// Loads the query set of the protocol family into the slot table (all slots cleared first).
void LoadQuerySet(int family);
