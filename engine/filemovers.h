// The file movers: serve one virtual device from its open to its close, moving the server's
// buffers into or out of the stream's media file.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"

#include <cstdint>

// How long a file mover waits for the server's next command.
constexpr DWORD kCommandTimeoutMs = 15000;

// The mover of a stream kept in a media file: a CryptoMedia when EncPass is set or CompressType is
// "G", else a FileMedia. `writeMedia` is the VDF_WriteMedia bit of the set's features (non-zero: a
// backup); the stream's file is g_streamFiles[index + 1]. 0 when the server closed the device,
// -1 otherwise.
int TransferFileMedia(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index);
// The mover of every device when DNet is set: always a FileMedia, never encrypted or gzip-wrapped.
int TransferPlainFile(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index);
