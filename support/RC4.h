// RC4 stream cipher keyed by hexadecimal key text. One call enciphers or
// deciphers (RC4 is its own inverse). A malformed key text is written to
// standard output and ends the process with status 1.
#pragma once

#include <stdint.h>

#include <string>

struct RC4State {
    uint8_t S[256];
    int32_t i;
    int32_t j;
};

// Writes exactly len bytes to out (no terminator). Returns 0.
int32_t RC4Crypt(const char* in, int32_t len, char* out, std::string keyText);
// Decodes lowercase hex digit pairs into out (room for 256); returns the byte count.
int32_t ParseHexKey(uint8_t* out, std::string keyText);
void AddHexDigit(char c, uint8_t* acc);
void RC4Init(RC4State* state, const uint8_t* key, int32_t n);
uint8_t RC4NextByte(RC4State* state);
void RC4Swap(RC4State* state, int32_t i, int32_t j);
int32_t ParseAsciiKey(uint8_t* out, std::string keyText);
