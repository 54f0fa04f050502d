// libFuzzer target: any bytes as a firmware file, walked as the upgrade run walks it, once
// stopping at the first refusal and once reading on as an inspection does. Besides the
// sanitizers' findings it traps when a walk breaks one of its promises: every block sent is a
// complete zlib stream within 4 MiB (checked against zlib's own uncompress), a first block that
// inflates to nothing is never taken for firmware, reading on changes no verdict.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "firmware/package_reader.h"
#include "package_test_support.h"

namespace {

struct Observed {
  bool keepGoing;
  uint32_t refusals;
};

volatile unsigned char sink;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

FirmwareWalkHooks Hooks(Observed *o) {
  FirmwareWalkHooks hooks = {};
  hooks.context = o;
  hooks.Send = [](void *, const FirmwareChunk *chunk) {
    const FirmwareBuffers &b = package_test::SharedBuffers();
    // Every byte handed to the printer lies inside the buffer that holds it.
    const unsigned char *start = chunk->data;
    const bool inInflate = start >= b.inflate && chunk->length <= kInflateBufferSize &&
                           start + chunk->length <= b.inflate + kInflateBufferSize;
    const bool inFile = start >= b.file && start + chunk->length <= b.file + kFileBufferSize;
    const bool inPart = start >= b.part && start + chunk->length <= b.part + kPartBufferSize;
    Require(inInflate || inFile || inPart);
    if (inInflate) {
      // The block's decrypted stored bytes are still in the file buffer.
      static std::vector<unsigned char> check(kInflateBufferSize + 1);
      uLongf produced = static_cast<uLongf>(check.size());
      Require(uncompress(check.data(), &produced, b.file, chunk->storedLength) == Z_OK);
      Require(produced == chunk->length);
    }
    // Read every byte, as the transfer will, so that ASan checks the whole run.
    unsigned char x = 0;
    for (uint32_t i = 0; i < chunk->length; ++i) x ^= start[i];
    sink = x;
    return true;
  };
  hooks.Refused = [](void *context, const FirmwareRefusal *) {
    Observed *o = static_cast<Observed *>(context);
    o->refusals += 1;
    return o->keepGoing;
  };
  return hooks;
}

FirmwareWalk WalkOnce(const uint8_t *data, size_t size, Observed *o) {
  package_test::MemoryFile file;
  file.bytes = data;
  file.length = size;
  const FirmwareSource source = package_test::MemorySource(&file);
  const FirmwareWalkHooks hooks = Hooks(o);
  // As if an earlier run had left firmware in the inflate buffer.
  package_test::SharedBuffers().inflate[0] = kFirmwareLeadEscape;
  FirmwareWalk walk;
  const FirmwareOutcome outcome =
      WalkFirmwareFile(&source, &package_test::SharedBuffers(), &hooks, &walk);
  Require(outcome == walk.firstRefusal.outcome);
  Require((outcome == FirmwareOutcome::Accepted) == (o->refusals == 0));
  // The inflate buffer still holds an earlier input's bytes: they must not pass for firmware.
  if (walk.probed && walk.probeResult == 0) {
    Require(outcome == FirmwareOutcome::ContentNotRecognised);
  }
  return walk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Observed stop = {false, 0};
  const FirmwareWalk first = WalkOnce(data, size, &stop);
  Require(stop.refusals <= 1);

  // Reading on never changes which refusal comes first, nor what was sent before it.
  Observed onward = {true, 0};
  const FirmwareWalk all = WalkOnce(data, size, &onward);
  Require(all.firstRefusal.outcome == first.firstRefusal.outcome);
  Require(all.firstRefusal.index == first.firstRefusal.index);
  Require(all.chunksSent >= first.chunksSent);
  return 0;
}
