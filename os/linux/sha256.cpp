// SHA-256 through nettle.
#include "os/sha256.h"

#include <nettle/sha2.h>

struct Sha256::State {
  sha256_ctx context;
};

Sha256::Sha256() : state_(new State) { sha256_init(&state_->context); }

Sha256::~Sha256() = default;

void Sha256::Update(const unsigned char *bytes, size_t count) {
  sha256_update(&state_->context, count, bytes);
}

bool Sha256::Finish(unsigned char digest[kSha256Bytes]) {
  sha256_digest(&state_->context, SHA256_DIGEST_SIZE, digest);
  return true;
}
