#include "engine/filemovers.h"

#include "config/Config.h"
#include "engine/job.h"
#include "engine/mediaset.h"
#include "media/CryptoMedia.h"
#include "media/FileMedia.h"
#include "platform/win32/win32.h"
#include "support/Log.h"

#include <errno.h>
#include <string.h>

#include <exception>
#include <memory>
#include <string>

namespace {

// One media of either kind behind the four calls the command loop makes. Flush and Close report
// a failure by false (a FileMedia) or by an exception (a CryptoMedia); Reason explains the last
// failure with the operating system's words where it has them.
class Media {
public:
    virtual ~Media() = default;
    virtual int32_t Read(BYTE* buffer, DWORD n) = 0;
    virtual int32_t Write(const BYTE* buffer, DWORD n) = 0;
    virtual bool Flush() = 0;
    virtual bool Close() = 0;
    virtual std::string Reason(const char* what) const = 0;
};

class PlainMedia : public Media {
public:
    explicit PlainMedia(FileMedia* m) : m_(m) {}
    ~PlainMedia() override {
        if (m_->file) m_->Close();
        delete m_;
    }
    int32_t Read(BYTE* b, DWORD n) override { return Keep(m_->Read(b, n)); }
    int32_t Write(const BYTE* b, DWORD n) override { return Keep(m_->Write(b, n)); }
    bool Flush() override { return Keep(m_->Flush()) == 0; }
    bool Close() override { return Keep(m_->Close()) == 0; }
    std::string Reason(const char* what) const override {
        return std::string(what) + " failed: " + strerror(errno_ ? errno_ : EIO);
    }

private:
    int32_t Keep(int32_t result) {
        errno_ = errno;
        return result;
    }
    FileMedia* m_;
    int errno_ = 0;
};

class ChainMedia : public Media {
public:
    explicit ChainMedia(CryptoMedia* m) : m_(m) {}
    ~ChainMedia() override { delete m_; }
    int32_t Read(BYTE* b, DWORD n) override { return m_->Read(b, static_cast<int32_t>(n)); }
    int32_t Write(const BYTE* b, DWORD n) override { return m_->Write(b, static_cast<int32_t>(n)); }
    bool Flush() override {
        m_->Flush(true);
        Sleep(250);
        return true;
    }
    bool Close() override {
        m_->Close();
        return true;
    }
    std::string Reason(const char* what) const override {
        const int err = m_->OutputError();
        return err ? std::string(what) + ": " + strerror(err) : std::string(what);
    }

private:
    CryptoMedia* m_;
};

// The media of a stream; null with `reason` set when it cannot be opened.
std::unique_ptr<Media> OpenPlain(const std::string& path, DWORD writeMedia, bool announce, std::string* reason) {
    const bool zlib = g_config.CompressType[0] == 'L';
    if (announce) {
        if (zlib)
            Log::WDebug("Enabled Zlib. CompressionLevel=%d", g_config.CompressLevel);
        else
            Log::WDebug("Zlib is disabled.");
    }
    errno = 0;
    auto* m = new FileMedia(path.c_str(), writeMedia ? 1 : 0, zlib ? 1 : 0, zlib ? g_config.CompressLevel : 1, 0);
    if (!m->file) {
        *reason = strerror(errno ? errno : ENOENT);
        delete m;
        return nullptr;
    }
    return std::unique_ptr<Media>(new PlainMedia(m));
}

std::unique_ptr<Media> OpenChain(const std::string& path, DWORD writeMedia, std::string* reason) {
    errno = 0;
    try {
        auto* m = new CryptoMedia(path.c_str(), writeMedia == 0, g_config.CompressType[0] == 'G', true,
                                  g_config.CompressLevel, g_config.EncPass);
        return std::unique_ptr<Media>(new ChainMedia(m));
    } catch (const CryptoPP::FileStore::OpenErr&) {
        *reason = strerror(errno ? errno : ENOENT);
    } catch (const CryptoPP::FileSink::OpenErr&) {
        *reason = strerror(errno ? errno : ENOENT);
    } catch (const std::exception& e) {
        *reason = e.what();
    } catch (const char* text) {
        *reason = text;
    } catch (...) {
        *reason = "unknown error";
    }
    return nullptr;
}

// Runs media calls; what they raise is the stream's failure, handed to `fail` with its reason.
template <typename Fail, typename Calls>
void MediaCall(const Media& media, Fail& fail, Calls calls) {
    try {
        calls();
    } catch (const std::exception& e) {
        fail(media.Reason(e.what()));
    } catch (const char* text) {
        fail(text);
    } catch (...) {
        fail("unknown error");
    }
}

// Logs the failure that ends a stream.
void LogMediaError(const std::string& what, const std::string& file) {
    Log::WError("Media failure: %s (%s)", what.c_str(), file.c_str());
}

// The command loop shared by both movers; owns and finishes the media. A stream whose media
// fails (a write, a flush, its close, damaged data) is over: the failing command is completed
// with an error code and the mover gives -1, also when the server would close the device normally.
int Serve(IClientVirtualDevice* device, std::unique_ptr<Media> media, const std::string& file) {
    HRESULT final = S_OK;
    bool mediaFailed = false;
    auto fail = [&](const std::string& what) {
        if (!mediaFailed) LogMediaError(what, file);
        mediaFailed = true;
    };
    for (;;) {
        VDC_Command* cmd = nullptr;
        HRESULT hr = device->GetCommand(kCommandTimeoutMs, &cmd);
        if (FAILED(hr)) {
            final = hr;
            break;
        }
        DWORD code = ERROR_SUCCESS;
        int32_t n = 0;
        MediaCall(*media, fail, [&] {
            switch (cmd->commandCode) {
                case VDC_Read:
                    n = media->Read(cmd->buffer, cmd->size);
                    code = static_cast<DWORD>(n) == cmd->size ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
                    break;
                case VDC_Write:
                    n = media->Write(cmd->buffer, cmd->size);
                    if (static_cast<DWORD>(n) != cmd->size) {
                        code = ERROR_DISK_FULL;
                        fail(media->Reason("write"));
                    }
                    break;
                case VDC_Flush:
                    if (!media->Flush()) {
                        code = ERROR_DISK_FULL;
                        fail(media->Reason("flush"));
                    }
                    break;
                case VDC_ClearError: break;
                default: code = ERROR_NOT_SUPPORTED; break;
            }
        });
        if (mediaFailed && code == ERROR_SUCCESS)
            code = cmd->commandCode == VDC_Read ? static_cast<DWORD>(ERROR_CRC) : static_cast<DWORD>(ERROR_DISK_FULL);
        if (n < 0) n = 0;
        hr = device->CompleteCommand(cmd, code, static_cast<DWORD>(n), 0);
        if (FAILED(hr)) {
            Log::WError("Completion Failed: x%X", static_cast<unsigned>(hr));
            final = hr;
            break;
        }
        if (mediaFailed) break;
    }
    if (final == VD_E_CLOSE) {
        Log::WTrace("Thread[%d] - Successfully completed data transfer.", static_cast<int>(GetCurrentThreadId()));
    } else if (!mediaFailed) {
        Log::WError("Unexpected termination: x%X", static_cast<unsigned>(final));
    }
    // Closing finishes the stream (a compressed stream's trailer, the data synced to the disk; the
    // end checks when reading): a failure there fails the stream like any other.
    MediaCall(*media, fail, [&] {
        if (!media->Close()) fail(media->Reason("close"));
    });
    try {
        media.reset();
    } catch (...) {
        mediaFailed = true;
    }
    return (final == VD_E_CLOSE && !mediaFailed) ? 0 : -1;
}

// Opens the stream's media and serves the device with it.
int Transfer(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index, bool plainOnly) {
    const std::string file = StreamEntry(static_cast<int>(index) + 1);
    // A backup writes beside the file it replaces, under the name its run claimed.
    const std::string path = writeMedia ? MediaWritePath(file) : file;
    std::string reason;
    std::unique_ptr<Media> media;
    if (!plainOnly && (g_config.EncPass[0] != 0 || g_config.CompressType[0] == 'G'))
        media = OpenChain(path, writeMedia, &reason);
    else
        media = OpenPlain(path, writeMedia, !plainOnly, &reason);
    if (!media) {
        Log::WError("Failed to open: %s (%s)", file.c_str(), reason.c_str());
        return -1;
    }
    return Serve(device, std::move(media), file);
}

}  // namespace

int TransferFileMedia(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    return Transfer(device, writeMedia, index, false);
}

int TransferPlainFile(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    return Transfer(device, writeMedia, index, true);
}
