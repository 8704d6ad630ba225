// The restore service's side of a connection: the thread that admits a peer, reads its request,
// records the connection and composes the restore, and the run of that restore for stream 1.
#pragma once

#include "engine/devicethreads.h"
#include "platform/win32/win32.h"
#include "platform/winsock/winsock.h"

#include <cstddef>
#include <cstdint>

// The listener's admission check, right after accept: whether the allow-list admits the peer. A
// refusal is logged (bounded under a flood, see DenialLog). Called by the listener's thread only.
bool AdmitRestorePeer(const char* peerIp);

// Thread procedure of one accepted connection; its parameter is the listener's SocketThreadParam.
// The thread keeps watch over the connection it records until a restore takes it (stream 1's
// thread runs that restore first). Always 0.
DWORD HandleRestoreConnection(LPVOID param);

// Receives up to `n` bytes in pieces of at most 1024 within `boundMs` for all of them; returns how
// many arrived. An early end (the peer closed, a failed receive, the bound passed) is reported on
// standard output. The socket's receives stay bounded by `boundMs` afterwards.
int32_t RecvAll(SOCKET socket, char* buffer, int32_t n, uint32_t boundMs);

// Runs the restore of one incoming backup through a device set of its own. `tmpl` is the whole
// batch with the device list's place, the two characters "%s", at `marker`; `info` names the
// database, kind, peer and stream count that its device threads look their connections up by.
void RunRestoreSession(const char* tmpl, size_t marker, uint32_t count, StreamInfo* info);
