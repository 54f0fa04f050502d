// RC4 as published: key scheduling over a 256-entry state, then the usual output generation,
// no key-stream bytes discarded. Encryption and decryption are the same operation.
#pragma once

#include <cstddef>

struct Rc4State {
  unsigned char s[256];
  unsigned char i;
  unsigned char j;
};

// Key scheduling; the key byte for step n is key[n % keyLength] (keyLength 1 to 256).
void Rc4Init(Rc4State *state, const unsigned char *key, size_t keyLength);

// XORs length bytes of key stream into data, in place, continuing where the last call ended.
void Rc4Apply(Rc4State *state, unsigned char *data, size_t length);
