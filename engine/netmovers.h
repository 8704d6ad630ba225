// The network movers: a backup stream sent to a restore service, or a stream received from a
// backup run's connection and fed to a restore.
#pragma once

#include "platform/vdi/vdi.h"
#include "platform/win32/win32.h"

#include <cstdint>

// `index` is 1-based. The backup side gives 0 once the service has taken the whole stream, -1
// otherwise (the reason is logged): a failure found after the server's statement has ended still
// fails the run. The service side gives no result: a stream that fails there fails its restore.
int SendStreamToService(IClientVirtualDevice* device, uint32_t count, uint32_t index);
void ReceiveStreamFromPeer(const char* database, const char* kind, IClientVirtualDevice* device, const char* peer,
                           uint32_t count, uint32_t index);
