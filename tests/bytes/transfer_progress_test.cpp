// When the firmware transfer moves the progress bar: the step, and the updates of whole runs
// made of calls as the upgrade run makes them (one per block, each cut into 4096-byte chunks).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "upgrade/transfer_progress.h"

namespace {

TEST(TransferProgress, StepIsAHundredthOfTheTotalInWholeChunks) {
  struct Case {
    uint32_t total, step;
  } cases[] = {
      {0, 1},          {409599, 1},        {409600, 4096},        {819199, 4096},
      {819200, 8192},  {10000000, 98304},  {268435456, 2682880},  {0xFFFFFFFFu, 42946560},
  };
  for (const Case &c : cases) EXPECT_EQ(ProgressStep(c.total), c.step) << "total " << c.total;
}

// The counts shown during a run of calls with these lengths, chunk by chunk as the transfer
// walks them.
std::vector<uint32_t> ShownCounts(const std::vector<uint32_t> &callLengths, uint32_t total) {
  const uint32_t step = ProgressStep(total);
  std::vector<uint32_t> shown;
  uint32_t base = 0;
  for (uint32_t length : callLengths) {
    for (uint32_t offset = 0; offset < length; offset += kTransferChunkBytes) {
      const uint32_t chunk = length - offset < kTransferChunkBytes ? length - offset
                                                                   : kTransferChunkBytes;
      if (ProgressDue(base + offset, chunk, step)) shown.push_back(base + offset);
    }
    base += length;
  }
  return shown;
}

TEST(TransferProgress, RunOfWholeChunksShowsEveryMultipleOfTheStep) {
  // 10,000,000 bytes in blocks of 1 MiB but the last: step 98,304, every 24th chunk.
  std::vector<uint32_t> blocks(9, 1048576);
  blocks.push_back(10000000 - 9 * 1048576);
  const std::vector<uint32_t> shown = ShownCounts(blocks, 10000000);
  ASSERT_EQ(shown.size(), 102u);  // 0, 98,304, ... up to 9,928,704
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ(shown[i], i * 98304u);
}

TEST(TransferProgress, UnalignedBlocksKeepTheBarMovingToTheEnd) {
  // A first block of 100,001 bytes puts every later chunk start off the 4096 grid; the updates
  // used to stop there. Now each multiple of the step still gets one update, shown with the
  // count of the chunk that carries the run over it.
  const uint32_t total = 20000000;
  const uint32_t step = ProgressStep(total);  // 196,608
  std::vector<uint32_t> blocks = {100001};
  for (uint32_t sent = 100001; sent < total; sent += 1048576) {
    blocks.push_back(total - sent < 1048576 ? total - sent : 1048576);
  }
  const std::vector<uint32_t> shown = ShownCounts(blocks, total);
  ASSERT_EQ(shown.size(), (total - 1) / step + 1);
  for (size_t i = 0; i < shown.size(); ++i) {
    const uint64_t multiple = uint64_t{i} * step;
    EXPECT_LE(shown[i], multiple) << "update " << i;
    EXPECT_GT(shown[i] + uint64_t{kTransferChunkBytes}, multiple) << "update " << i;
  }
  EXPECT_GE(shown.back(), total - step - kTransferChunkBytes) << "the last stretch is shown";
}

TEST(TransferProgress, SmallRunsShowEveryChunk) {
  const std::vector<uint32_t> shown = ShownCounts({5000, 3, 4096, 10}, 9109);
  EXPECT_EQ(shown, (std::vector<uint32_t>{0, 4096, 5000, 5003, 9099}));
}

TEST(TransferProgress, CountNearTheTopOfThe32BitRangeDoesNotWrapTheTest) {
  const uint32_t step = ProgressStep(0xFFFFFFFFu);
  const uint32_t lastMultiple = 0xFFFFFFFFu / step * step;
  EXPECT_TRUE(ProgressDue(lastMultiple - 10, 4096, step));
  EXPECT_FALSE(ProgressDue(lastMultiple + 10, 4096, step))
      << "the next multiple lies above 2^32, out of reach of this chunk";
  EXPECT_FALSE(ProgressDue(lastMultiple + 1, 0, step));
}

}  // namespace
