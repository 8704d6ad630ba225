// The AES-128 key and initial counter block of the backup media.
#pragma once

#include <cstddef>
#include <cstdint>

namespace media_key {

constexpr size_t kKeySize = 16;
constexpr size_t kBlockSize = 16;

// The key is the first 16 bytes of the key text, used as they are; a shorter text is completed
// with kKeyFill's bytes from its own length on. The fill is zero: a NUL cannot occur inside a key
// text, so no two key texts share a key.
constexpr uint8_t kKeyFill[kKeySize] = {0};

// Initial counter block of every media file, for writing and reading. The low 64 bits start
// 16 blocks short of wrapping, so the counter carries across its halves after 256 bytes.
constexpr uint8_t kInitialCounter[kBlockSize] = {0x4b, 0x53, 0x54, 0x52, 0x4e, 0x45, 0x00, 0x01,
                                                 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xf0};

// Builds the media key of keyText (null counts as empty) into key.
void MakeKey(const char* keyText, uint8_t key[kKeySize]);

// The in-memory text routines use one key and counter block, both filled with this byte.
constexpr uint8_t kTextFill = 0x6b;

}  // namespace media_key
