// The seam to the system's printer driver: what every backend shares.
#include "device/transport.h"

// One piece after the other, each written when the one before has been.
bool PrinterTransport::WritePieces(const unsigned char *bytes, uint32_t length,
                                   uint32_t pieceBytes, uint32_t stallMs,
                                   bool (*onTaken)(void *context, uint32_t bytes),
                                   void *context) {
  if (pieceBytes == 0) return false;
  for (uint32_t offset = 0; offset < length; offset += pieceBytes) {
    const uint32_t piece = length - offset < pieceBytes ? length - offset : pieceBytes;
    uint32_t written = 0;
    const bool wrote = Write(bytes + offset, piece, stallMs, &written);
    const bool goOn = written == 0 || onTaken(context, written);
    if (!wrote || written != piece) return false;
    if (!goOn) return false;
  }
  return true;
}
