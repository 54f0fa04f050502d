// The reads of a printer's bulk IN endpoint against scripted transfers: what each transfer asks
// for, and which blocks the reads hand over, with and without a printer's zero-length packets.
#include "os/libusb/bulk_in_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr size_t kPacket = 512;

// What one transfer brings: its bytes, and whether it completed (false: it timed out, or was
// cancelled, after those bytes).
struct Step {
  size_t bytes;
  bool completed = true;
};

// Transfers that play the steps in order; each records the length and the wait it was given.
// A transfer beyond the script times out with nothing.
class ScriptedEndpoint {
 public:
  explicit ScriptedEndpoint(std::vector<Step> steps) : steps_(std::move(steps)) {}

  BulkInReader::Transfer Transfer() {
    return [this](unsigned char *buffer, size_t length, uint32_t wait, size_t *actual) {
      lengths.push_back(length);
      waits.push_back(wait);
      if (next_ == steps_.size()) {
        *actual = 0;
        return false;
      }
      const Step step = steps_[next_++];
      *actual = std::min(step.bytes, length);
      for (size_t i = 0; i < *actual; ++i) buffer[i] = static_cast<unsigned char>(sent_++);
      return step.completed;
    };
  }

  std::vector<size_t> lengths;
  std::vector<uint32_t> waits;

 private:
  std::vector<Step> steps_;
  size_t next_ = 0;
  unsigned sent_ = 0;  // each byte numbered, to see that none is lost or repeated
};

// Reads of the given capacities; each read's count, or -1 for a read that failed.
std::vector<long> Reads(ScriptedEndpoint &endpoint, const std::vector<uint32_t> &capacities,
                        std::vector<unsigned char> *received = nullptr) {
  BulkInReader reader;
  reader.Start(kPacket);
  std::vector<long> counts;
  std::vector<unsigned char> buffer(8192);
  for (const uint32_t capacity : capacities) {
    uint32_t count = 0;
    const bool read = reader.Read(buffer.data(), capacity, 5000, &count, endpoint.Transfer());
    counts.push_back(read ? static_cast<long>(count) : -1);
    if (read && received) received->insert(received->end(), buffer.data(), buffer.data() + count);
  }
  return counts;
}

TEST(BulkInReader, TransfersAskForWholePacketsUpToTheCapacityAndNoMore) {
  const struct {
    uint32_t capacity;
    size_t asked;
  } cases[] = {{16, 512}, {512, 512}, {1024, 1024}, {1025, 1536}, {2048, 2048}, {4096, 4096},
               {0, 512}};
  for (const auto &c : cases) {
    ScriptedEndpoint endpoint({{16}});
    Reads(endpoint, {c.capacity});
    ASSERT_EQ(endpoint.lengths.size(), 1u) << c.capacity;
    EXPECT_EQ(endpoint.lengths[0], c.asked) << c.capacity;
  }
}

// A printer that sends no zero-length packet: the block's last packet ends the transfer, and
// the next reply is the next read's.
TEST(BulkInReader, BlockThatFillsItsLastPacketEndsTheReadWithoutAZeroLengthPacket) {
  ScriptedEndpoint endpoint({{1024}, {16}, {2048}, {16}});
  EXPECT_EQ(Reads(endpoint, {1024, 4096, 2048, 4096}), (std::vector<long>{1024, 16, 2048, 16}));
  EXPECT_EQ(endpoint.lengths.size(), 4u);
}

// A printer that does send one: it is passed over once, right after a transfer that filled what
// it asked for, and at the start of a connection (left by the connection before it).
TEST(BulkInReader, ZeroLengthPacketAfterAFullTransferIsPassedOverOnce) {
  const struct {
    std::string name;
    std::vector<Step> steps;
    std::vector<uint32_t> capacities;
    std::vector<long> counts;
  } cases[] = {
      {"after a full block", {{16}, {1024}, {0}, {16}}, {4096, 1024, 4096}, {16, 1024, 16}},
      {"at the start", {{0}, {16}}, {4096}, {16}},
      // A block longer than the read: the rest is read first, then the packet passed over.
      {"after a block read in pieces", {{16}, {1536}, {0}, {16}}, {4096, 1025, 1025, 4096},
       {16, 1025, 511, 16}},
      // An empty transfer anywhere else is the printer's answer, and so is a second one.
      {"after a short block", {{16}, {0}}, {4096, 4096}, {16, 0}},
      {"a second one", {{16}, {1024}, {0}, {0}}, {4096, 1024, 4096}, {16, 1024, 0}},
  };
  for (const auto &c : cases) {
    ScriptedEndpoint endpoint(c.steps);
    EXPECT_EQ(Reads(endpoint, c.capacities), c.counts) << c.name;
  }
}

TEST(BulkInReader, WaitAfterAPassedOverPacketIsWhatIsLeftOfTheRead) {
  ScriptedEndpoint endpoint({{16}, {1024}, {0}, {16}});
  Reads(endpoint, {4096, 1024, 4096});
  ASSERT_EQ(endpoint.waits.size(), 4u);
  EXPECT_EQ(endpoint.waits[2], 5000u);
  EXPECT_GE(endpoint.waits[3], 1u);
  EXPECT_LE(endpoint.waits[3], 5000u);
}

// What came before a time-out or a cancel was sent: it is the block, byte for byte, and no byte
// is read twice.
TEST(BulkInReader, BytesBeforeATimeOutAreTheBlock) {
  ScriptedEndpoint endpoint({{16}, {1024, false}, {16}, {0, false}});
  std::vector<unsigned char> received;
  EXPECT_EQ(Reads(endpoint, {4096, 1025, 4096, 4096}, &received),
            (std::vector<long>{16, 1024, 16, -1}));
  ASSERT_EQ(received.size(), 16u + 1024u + 16u);
  for (size_t i = 0; i < received.size(); ++i) {
    ASSERT_EQ(received[i], static_cast<unsigned char>(i)) << i;
  }
}

}  // namespace
