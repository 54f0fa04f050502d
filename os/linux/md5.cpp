// MD5 through nettle.
#include <nettle/md5.h>

#include "info/device_code.h"

int Md5Digest(const unsigned char *bytes, int count, unsigned char digest[16]) {
  if (count < 0) return 1;
  md5_ctx context;
  md5_init(&context);
  md5_update(&context, static_cast<size_t>(count), bytes);
  md5_digest(&context, MD5_DIGEST_SIZE, digest);
  return 0;
}
