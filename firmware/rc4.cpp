// RC4 key scheduling and key-stream generation.
#include "firmware/rc4.h"

void Rc4Init(Rc4State *state, const unsigned char *key, size_t keyLength) {
  for (int n = 0; n < 256; ++n) state->s[n] = static_cast<unsigned char>(n);
  unsigned char j = 0;
  for (int n = 0; n < 256; ++n) {
    j = static_cast<unsigned char>(j + state->s[n] + key[n % keyLength]);
    const unsigned char t = state->s[n];
    state->s[n] = state->s[j];
    state->s[j] = t;
  }
  state->i = 0;
  state->j = 0;
}

void Rc4Apply(Rc4State *state, unsigned char *data, size_t length) {
  // Locals instead of the record's fields keep the loop in registers; an 8 MiB part goes
  // through here in one call.
  unsigned char *s = state->s;
  unsigned char i = state->i;
  unsigned char j = state->j;
  for (size_t n = 0; n < length; ++n) {
    i = static_cast<unsigned char>(i + 1);
    const unsigned char si = s[i];
    j = static_cast<unsigned char>(j + si);
    const unsigned char sj = s[j];
    s[i] = sj;
    s[j] = si;
    data[n] ^= s[static_cast<unsigned char>(si + sj)];
  }
  state->i = i;
  state->j = j;
}
