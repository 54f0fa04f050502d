// Progress steps of the firmware transfer.
#include "upgrade/transfer_progress.h"

uint32_t ProgressStep(uint32_t total) {
  const uint32_t step = total / 100 / kTransferChunkBytes * kTransferChunkBytes;
  return step == 0 ? 1 : step;
}

bool ProgressDue(uint32_t count, uint32_t chunkLength, uint32_t step) {
  if (count % step == 0) return true;
  if (chunkLength == 0) return false;
  // The next multiple above count lies inside the chunk; 64-bit so that a run near the top of
  // the 32-bit count does not wrap here.
  const uint64_t nextMultiple = (static_cast<uint64_t>(count) / step + 1) * step;
  return nextMultiple < static_cast<uint64_t>(count) + chunkLength;
}
