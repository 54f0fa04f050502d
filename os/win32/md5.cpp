// MD5 through CryptoAPI.
#include <windows.h>
#include <wincrypt.h>

#include "info/device_code.h"

int Md5Digest(const unsigned char *bytes, int count, unsigned char digest[16]) {
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
    return 1;
  }
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
    CryptReleaseContext(provider, 0);
    return 1;
  }
  DWORD digestLength = 16;
  const bool hashed = CryptHashData(hash, bytes, count, 0) &&
                      CryptGetHashParam(hash, HP_HASHVAL, digest, &digestLength, 0) &&
                      digestLength == 16;
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return hashed ? 0 : 1;
}

