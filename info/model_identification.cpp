// Model identification from the USB product id.
#include "info/model_identification.h"

unsigned char modelTable[kModelEntries * kModelEntryBytes];
