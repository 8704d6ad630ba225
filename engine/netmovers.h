// The network movers: a backup stream sent to a restore service, or a stream received from a
// backup run's connection and fed to a restore.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"
#include "platform/winsock/winsock.h"

#include <cstddef>
#include <cstdint>

// `index` is 1-based. The backup side gives 0 once the service has taken the whole stream, -1
// otherwise (the reason is logged): a failure found after the server's statement has ended still
// fails the run. The service side gives no result: a stream that fails there fails its restore.
int SendStreamToService(IClientVirtualDevice* device, uint32_t count, uint32_t index);
void ReceiveStreamFromPeer(const char* database, const char* kind, IClientVirtualDevice* device, const char* peer,
                           uint32_t count, uint32_t index);

// Receives `n` bytes in pieces of at most 1024 within `boundMs` for all of them, so that a peer
// that sends a byte now and then does not stretch the bound. Returns how many arrived; when fewer,
// *error says why: 0 when the peer closed, the failed receive's error, or WSAETIMEDOUT once the
// bound has passed. The socket's receives stay bounded by `boundMs` afterwards.
size_t RecvWithin(SOCKET s, char* buffer, size_t n, uint32_t boundMs, int* error);
