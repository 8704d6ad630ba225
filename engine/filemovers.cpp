#include "engine/filemovers.h"

#include "config/Config.h"
#include "engine/job.h"
#include "media/CryptoMedia.h"
#include "media/FileMedia.h"
#include "platform/win32/win32.h"
#include "support/Log.h"

#include <exception>
#include <memory>
#include <string>

namespace {

// One media of either kind behind the four calls the command loop makes.
class Media {
public:
    virtual ~Media() = default;
    virtual int32_t Read(BYTE* buffer, DWORD n) = 0;
    virtual int32_t Write(const BYTE* buffer, DWORD n) = 0;
    virtual void Flush() = 0;
    virtual void Close() = 0;
};

class PlainMedia : public Media {
public:
    explicit PlainMedia(FileMedia* m) : m_(m) {}
    ~PlainMedia() override {
        if (m_->file) m_->Close();
        delete m_;
    }
    int32_t Read(BYTE* b, DWORD n) override { return m_->Read(b, n); }
    int32_t Write(const BYTE* b, DWORD n) override { return m_->Write(b, n); }
    void Flush() override { m_->Flush(); }
    void Close() override { m_->Close(); }

private:
    FileMedia* m_;
};

class ChainMedia : public Media {
public:
    explicit ChainMedia(CryptoMedia* m) : m_(m) {}
    ~ChainMedia() override { delete m_; }
    int32_t Read(BYTE* b, DWORD n) override { return m_->Read(b, static_cast<int32_t>(n)); }
    int32_t Write(const BYTE* b, DWORD n) override { return m_->Write(b, static_cast<int32_t>(n)); }
    void Flush() override {
        m_->Flush(true);
        Sleep(250);
    }
    void Close() override { m_->Close(); }

private:
    CryptoMedia* m_;
};

std::string StreamFile(uint32_t index) {
    auto it = g_streamFiles.find(static_cast<int>(index) + 1);
    return it == g_streamFiles.end() ? std::string() : it->second;
}

std::unique_ptr<Media> OpenPlain(const std::string& file, DWORD writeMedia, bool announce) {
    const bool zlib = g_config.CompressType[0] == 'L';
    if (announce) {
        if (zlib)
            Log::WDebug("Enabled Zlib. CompressionLevel=%d", g_config.CompressLevel);
        else
            Log::WDebug("Zlib is disabled.");
    }
    auto* m = new FileMedia(file.c_str(), writeMedia ? 1 : 0, zlib ? 1 : 0, zlib ? g_config.CompressLevel : 1, 0);
    if (!m->file) {
        delete m;
        return nullptr;
    }
    return std::unique_ptr<Media>(new PlainMedia(m));
}

std::unique_ptr<Media> OpenChain(const std::string& file, DWORD writeMedia) {
    try {
        auto* m = new CryptoMedia(file.c_str(), writeMedia == 0, g_config.CompressType[0] == 'G', true,
                                  g_config.CompressLevel, g_config.EncPass);
        return std::unique_ptr<Media>(new ChainMedia(m));
    } catch (const std::exception& e) {
        Log::WDebug("Media error: %s", e.what());
    } catch (const char* text) {
        Log::WDebug("Media error: %s", text);
    } catch (...) {
    }
    return nullptr;
}

// Logs a media failure that ends the loop.
void LogMediaError(const char* what) { Log::WError("Media failure: %s", what); }

// The command loop shared by both movers; owns and finishes the media.
int Serve(IClientVirtualDevice* device, std::unique_ptr<Media> media) {
    HRESULT final = S_OK;
    bool mediaFailed = false;
    try {
        for (;;) {
            VDC_Command* cmd = nullptr;
            HRESULT hr = device->GetCommand(kCommandTimeoutMs, &cmd);
            if (FAILED(hr)) {
                final = hr;
                break;
            }
            DWORD code = ERROR_SUCCESS;
            int32_t n = 0;
            switch (cmd->commandCode) {
                case VDC_Read:
                    n = media->Read(cmd->buffer, cmd->size);
                    code = static_cast<DWORD>(n) == cmd->size ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
                    break;
                case VDC_Write:
                    n = media->Write(cmd->buffer, cmd->size);
                    code = static_cast<DWORD>(n) == cmd->size ? ERROR_SUCCESS : ERROR_DISK_FULL;
                    break;
                case VDC_Flush: media->Flush(); break;
                case VDC_ClearError: break;
                default: code = ERROR_NOT_SUPPORTED; break;
            }
            if (n < 0) n = 0;
            hr = device->CompleteCommand(cmd, code, static_cast<DWORD>(n), 0);
            if (FAILED(hr)) {
                Log::WError("Completion Failed: x%X", static_cast<unsigned>(hr));
                final = hr;
                break;
            }
        }
        if (final == VD_E_CLOSE) {
            Log::WTrace("Thread[%d] - Successfully completed data transfer.", static_cast<int>(GetCurrentThreadId()));
        } else {
            Log::WError("Unexpected termination: x%X", static_cast<unsigned>(final));
        }
        media->Close();
    } catch (const std::exception& e) {
        LogMediaError(e.what());
        mediaFailed = true;
    } catch (const char* text) {
        LogMediaError(text);
        mediaFailed = true;
    } catch (...) {
        LogMediaError("unknown error");
        mediaFailed = true;
    }
    try {
        media.reset();
    } catch (...) {
        mediaFailed = true;
    }
    return (final == VD_E_CLOSE && !mediaFailed) ? 0 : -1;
}

}  // namespace

int TransferFileMedia(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    const std::string file = StreamFile(index);
    std::unique_ptr<Media> media;
    if (g_config.EncPass[0] != 0 || g_config.CompressType[0] == 'G')
        media = OpenChain(file, writeMedia);
    else
        media = OpenPlain(file, writeMedia, true);
    if (!media) {
        Log::WError("Failed to open: %s", file.c_str());
        return -1;
    }
    return Serve(device, std::move(media));
}

int TransferPlainFile(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    const std::string file = StreamFile(index);
    std::unique_ptr<Media> media = OpenPlain(file, writeMedia, false);
    if (!media) {
        Log::WError("Failed to open: %s", file.c_str());
        return -1;
    }
    return Serve(device, std::move(media));
}
