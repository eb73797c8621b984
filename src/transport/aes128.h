#pragma once
// AES-128 (FIPS-197) on single 16-byte blocks, no chaining and no padding.
// Each call expands the raw 16-byte key anew and keeps its whole working state
// on its own stack, so any number of threads may call at once. Input and
// output may be the same 16 bytes: the input is read completely first.

// output = AES-128 encryption of input under key.
void encryptBlock(const unsigned char* input, const unsigned char* key, unsigned char* output);

// output = AES-128 decryption (inverse cipher) of input under key.
void decryptBlock(const unsigned char* input, const unsigned char* key, unsigned char* output);
