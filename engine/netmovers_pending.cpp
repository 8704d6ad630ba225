// Stand-ins for the network movers until TCP streams are built: a stream that would need one ends
// the process with -1 and says why, rather than leaving the server waiting on the device.
#include "engine/netmovers.h"

#include "platform/win32/win32.h"
#include "support/Log.h"

void SendStreamToService(IClientVirtualDevice*, uint32_t, uint32_t index) {
    Log::WError("Stream %u needs a TCP connection, which this build does not offer.", index);
    ExitProcess(static_cast<UINT>(-1));
}

void ReceiveStreamFromPeer(const char*, const char*, IClientVirtualDevice*, const char*, uint32_t, uint32_t index) {
    Log::WError("Stream %u needs a TCP connection, which this build does not offer.", index);
    ExitProcess(static_cast<UINT>(-1));
}
