#include "support/RC4.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {
[[noreturn]] void keyError(const char* text) {
    fputs(text, stdout);
    exit(1);
}
}  // namespace

void AddHexDigit(char c, uint8_t* acc) {
    if (c >= '0' && c <= '9') {
        *acc = static_cast<uint8_t>(*acc + (c - '0'));
    } else if (c >= 'a' && c <= 'f') {
        *acc = static_cast<uint8_t>(*acc + (c - 'a' + 10));
    } else {
        printf("Hex key contains letter outside range 0-9 or a-z: %c", c);
        exit(1);
    }
}

int32_t ParseHexKey(uint8_t* out, std::string keyText) {
    if (keyText.size() % 2 != 0) keyError("Hex key must have an even number of characters.");
    if (keyText.size() > 512) keyError("Hex key cannot be longer than 512 characters long");
    if (keyText.empty()) keyError("Hex key must not be empty.");  // no key, no cipher
    int32_t n = 0;
    for (size_t k = 0; k + 1 < keyText.size(); k += 2) {
        uint8_t acc = 0;
        AddHexDigit(keyText[k], &acc);
        acc = static_cast<uint8_t>(acc << 4);
        AddHexDigit(keyText[k + 1], &acc);
        out[n++] = acc;
    }
    return n;
}

int32_t ParseAsciiKey(uint8_t* out, std::string keyText) {
    if (keyText.size() > 256) keyError("ASCII key must be 256 characters or less");
    memcpy(out, keyText.data(), keyText.size());
    return static_cast<int32_t>(keyText.size());
}

void RC4Swap(RC4State* state, int32_t i, int32_t j) {
    uint8_t t = state->S[i];
    state->S[i] = state->S[j];
    state->S[j] = t;
}

void RC4Init(RC4State* state, const uint8_t* key, int32_t n) {
    for (int k = 0; k < 256; ++k) state->S[k] = static_cast<uint8_t>(k);
    state->j = 0;
    // A direct call with no key bytes schedules with one zero byte rather than
    // dividing by zero.
    static const uint8_t kNoKey[1] = {0};
    if (n <= 0) {
        key = kNoKey;
        n = 1;
    }
    for (state->i = 0; state->i < 256; ++state->i) {
        state->j = (state->j + state->S[state->i] + key[state->i % n]) % 256;
        RC4Swap(state, state->i, state->j);
    }
    state->i = 0;
    state->j = 0;
}

uint8_t RC4NextByte(RC4State* state) {
    state->i = (state->i + 1) % 256;
    state->j = (state->j + state->S[state->i]) % 256;
    RC4Swap(state, state->i, state->j);
    return state->S[(state->S[state->i] + state->S[state->j]) % 256];
}

int32_t RC4Crypt(const char* in, int32_t len, char* out, std::string keyText) {
    uint8_t key[256];
    int32_t n = ParseHexKey(key, keyText);
    RC4State state;
    RC4Init(&state, key, n);
    for (int32_t k = 0; k < len; ++k) out[k] = static_cast<char>(static_cast<uint8_t>(in[k]) ^ RC4NextByte(&state));
    return 0;
}
