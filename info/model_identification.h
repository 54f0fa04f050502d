// Model identification from the USB product id: the built-in model table.
#pragma once

constexpr int kModelEntries = 161;
constexpr int kModelEntryBytes = 21;  // product id code (4), family (1), model name (16)

// Filled once at start-up from its stored stream; read-only afterwards.
extern unsigned char modelTable[kModelEntries * kModelEntryBytes];
