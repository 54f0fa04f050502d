// SHA-256, for the digest an operator pins a firmware file with. Each backend computes it with
// its own platform API: nettle on Linux, CryptoAPI on Windows.
#pragma once

#include <cstddef>
#include <memory>

constexpr size_t kSha256Bytes = 32;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256 &) = delete;
  Sha256 &operator=(const Sha256 &) = delete;

  void Update(const unsigned char *bytes, size_t count);
  // The digest of everything given so far; false when the system could not compute it.
  bool Finish(unsigned char digest[kSha256Bytes]);

  struct State;  // the backend's

 private:
  std::unique_ptr<State> state_;
};
