// The network movers: a backup stream sent to a restore service, or a stream received from a
// backup run's connection and fed to a restore.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"

#include <cstdint>

// `index` is 1-based. Neither gives a result: a failure is handled inside.
void SendStreamToService(IClientVirtualDevice* device, uint32_t count, uint32_t index);
void ReceiveStreamFromPeer(const char* database, const char* kind, IClientVirtualDevice* device, const char* peer,
                           uint32_t count, uint32_t index);
