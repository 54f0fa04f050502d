// When the firmware transfer moves the progress bar and rewrites the progress line (no Windows
// headers): once per step of the run's byte count, checked before every 4096-byte write.
#pragma once

#include <cstdint>

constexpr uint32_t kTransferChunkBytes = 4096;  // one write, the size of replyBuffer

// total / 100 rounded down to a multiple of 4096, so that in a run of whole chunks the updates
// fall on chunk starts; 1 (every chunk) when that is 0, i.e. below 409,600 bytes.
uint32_t ProgressStep(uint32_t total);

// Whether the chunk of chunkLength bytes that starts at count (bytes of the run written before
// it) gets an update, shown with count: when count has reached a multiple of step, or when this
// chunk carries it past one. Testing only for "count is a multiple" froze the bar and the line
// for the rest of the run after any block whose length is no multiple of 4096, since chunk
// starts never met a multiple again. Each multiple of step gets exactly one update, in a run of
// whole chunks the same ones as before, and no state is kept between calls. The count is the
// run's 32-bit count and may wrap, as the bar's range does.
bool ProgressDue(uint32_t count, uint32_t chunkLength, uint32_t step);
