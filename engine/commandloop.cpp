#include "engine/commandloop.h"

#include "support/Log.h"

HRESULT ServeCommands(IClientVirtualDevice* device, MoverMedia& media, const CommandRules& rules) {
    for (;;) {
        VDC_Command* cmd = nullptr;
        HRESULT hr = device->GetCommand(rules.waitMs, &cmd);
        if (FAILED(hr)) return hr;
        DWORD code = ERROR_SUCCESS;
        int64_t n = 0;
        switch (cmd->commandCode) {
            case VDC_Read:
                n = media.Read(cmd->buffer, cmd->size);
                if (n != static_cast<int64_t>(cmd->size)) code = ERROR_HANDLE_EOF;
                break;
            case VDC_Write:
                n = media.Write(cmd->buffer, cmd->size);
                if (n != static_cast<int64_t>(cmd->size)) code = ERROR_DISK_FULL;
                break;
            case VDC_Flush:
                if (!media.Flush()) code = ERROR_DISK_FULL;
                break;
            case VDC_ClearError: break;
            default: code = ERROR_NOT_SUPPORTED; break;
        }
        // The server must not take a broken stream's data for good, nor its end for the end of the data.
        const bool broken = media.Broken();
        if (broken) code = cmd->commandCode == VDC_Read ? ERROR_CRC : ERROR_DISK_FULL;
        hr = device->CompleteCommand(cmd, code, n > 0 ? static_cast<DWORD>(n) : 0, 0);
        if (FAILED(hr)) {
            Log::WError("Completion Failed: %s%X", rules.hexPrefix, static_cast<unsigned>(hr));
            return hr;
        }
        if (broken) return S_OK;
    }
}
