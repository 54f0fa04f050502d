// SHA-256 through CryptoAPI: the AES provider is the one that has it.
#include "os/sha256.h"

#include <windows.h>
#include <wincrypt.h>

struct Sha256::State {
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  bool failed = false;
};

Sha256::Sha256() : state_(new State) {
  if (!CryptAcquireContextW(&state_->provider, nullptr, nullptr, PROV_RSA_AES,
                            CRYPT_VERIFYCONTEXT)) {
    state_->provider = 0;
    state_->failed = true;
    return;
  }
  if (!CryptCreateHash(state_->provider, CALG_SHA_256, 0, 0, &state_->hash)) {
    state_->hash = 0;
    state_->failed = true;
  }
}

Sha256::~Sha256() {
  if (state_->hash) CryptDestroyHash(state_->hash);
  if (state_->provider) CryptReleaseContext(state_->provider, 0);
}

void Sha256::Update(const unsigned char *bytes, size_t count) {
  // CryptHashData takes a DWORD count: a larger run goes in pieces.
  while (!state_->failed && count > 0) {
    const DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!CryptHashData(state_->hash, bytes, piece, 0)) state_->failed = true;
    bytes += piece;
    count -= piece;
  }
}

bool Sha256::Finish(unsigned char digest[kSha256Bytes]) {
  DWORD length = kSha256Bytes;
  return !state_->failed &&
         CryptGetHashParam(state_->hash, HP_HASHVAL, digest, &length, 0) &&
         length == kSha256Bytes;
}
