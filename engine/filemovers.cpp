#include "engine/filemovers.h"

#include "config/Config.h"
#include "engine/commandloop.h"
#include "engine/job.h"
#include "engine/mediaset.h"
#include "media/CryptoMedia.h"
#include "media/FileMedia.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <cerrno>
#include <cstring>

#include <exception>
#include <memory>
#include <string>

namespace {

const CommandRules kFileRules{kCommandTimeoutMs, "x"};

// The stream's media file behind the loop's calls, then its close. A write that stores fewer
// bytes, a failed flush or close, or an error the media raises (damaged data, a failed file
// write) breaks it: the stream is over, and the first failure is logged with the file's name.
class MediaFile : public MoverMedia {
public:
    explicit MediaFile(const std::string& file) : file_(file) {}
    bool Broken() const override { return broken_; }
    // Finishes the stream: a compressed stream's trailer, the data synced to the disk; the end
    // checks when reading.
    virtual void Close() = 0;

protected:
    // The one way a media failure ends the stream: what failed and, when there is one, the
    // error number that explains it.
    void Fail(const std::string& what, int err) {
        if (!broken_)
            Log::WError("Media failure: %s (%s)", err ? (what + ": " + strerror(err)).c_str() : what.c_str(),
                        file_.c_str());
        broken_ = true;
    }

private:
    std::string file_;
    bool broken_ = false;
};

// A FileMedia reports a failure by its result, with the runtime's error number.
class PlainMedia : public MediaFile {
public:
    PlainMedia(std::unique_ptr<FileMedia> m, const std::string& file) : MediaFile(file), m_(std::move(m)) {}
    int64_t Read(BYTE* b, DWORD n) override { return Keep(m_->Read(b, n)); }
    int64_t Write(const BYTE* b, DWORD n) override {
        const int32_t w = Keep(m_->Write(b, n));
        if (w != static_cast<int64_t>(n)) Failed("write");
        return w;
    }
    bool Flush() override {
        if (Keep(m_->Flush()) == 0) return true;
        Failed("flush");
        return false;
    }
    void Close() override {
        if (Keep(m_->Close()) != 0) Failed("close");
    }

private:
    int32_t Keep(int32_t result) {
        _get_errno(&error_);
        return result;
    }
    void Failed(const char* what) { Fail(std::string(what) + " failed", error_ ? error_ : EIO); }
    std::unique_ptr<FileMedia> m_;
    int error_ = 0;
};

// A CryptoMedia reports a failure by raising it: the library's std::exception, or its own text
// for a call in the wrong direction. The output file's own error explains it where it has one.
class ChainMedia : public MediaFile {
public:
    ChainMedia(std::unique_ptr<CryptoMedia> m, const std::string& file) : MediaFile(file), m_(std::move(m)) {}
    int64_t Read(BYTE* b, DWORD n) override {
        int32_t r = 0;
        Guard([&] { r = m_->Read(b, static_cast<int32_t>(n)); });
        return r;
    }
    int64_t Write(const BYTE* b, DWORD n) override {
        int32_t w = 0;
        Guard([&] { w = m_->Write(b, static_cast<int32_t>(n)); });
        if (w != static_cast<int64_t>(n)) Fail("write", m_->OutputError());
        return w;
    }
    bool Flush() override {
        Guard([&] {
            m_->Flush(true);
            Sleep(250);
        });
        return !Broken();
    }
    void Close() override {
        Guard([&] { m_->Close(); });
    }

private:
    template <typename Call>
    void Guard(Call call) {
        try {
            call();
        } catch (const std::exception& e) {
            Fail(e.what(), m_->OutputError());
        } catch (const char* text) {
            Fail(text, 0);
        }
    }
    std::unique_ptr<CryptoMedia> m_;
};

// The media of a stream; null with `reason` set when it cannot be opened. `file` names it in the log.
std::unique_ptr<MediaFile> OpenPlain(const std::string& path, const std::string& file, DWORD writeMedia, bool announce,
                                     std::string* reason) {
    const bool zlib = g_config.CompressType[0] == 'L';
    if (announce) {
        if (zlib)
            Log::WDebug("Enabled Zlib. CompressionLevel=%d", g_config.CompressLevel);
        else
            Log::WDebug("Zlib is disabled.");
    }
    _set_errno(0);
    std::unique_ptr<FileMedia> m(
        new FileMedia(path.c_str(), writeMedia ? 1 : 0, zlib ? 1 : 0, zlib ? g_config.CompressLevel : 1, 0));
    if (!m->file) {
        *reason = RuntimeErrorText(ENOENT);
        return nullptr;
    }
    return std::unique_ptr<MediaFile>(new PlainMedia(std::move(m), file));
}

std::unique_ptr<MediaFile> OpenChain(const std::string& path, const std::string& file, DWORD writeMedia,
                                     std::string* reason) {
    _set_errno(0);
    try {
        std::unique_ptr<CryptoMedia> m(new CryptoMedia(path.c_str(), writeMedia == 0, g_config.CompressType[0] == 'G',
                                                       true, g_config.CompressLevel, g_config.EncPass));
        return std::unique_ptr<MediaFile>(new ChainMedia(std::move(m), file));
    } catch (const CryptoPP::FileStore::OpenErr&) {
        *reason = RuntimeErrorText(ENOENT);
    } catch (const CryptoPP::FileSink::OpenErr&) {
        *reason = RuntimeErrorText(ENOENT);
    } catch (const std::exception& e) {
        *reason = e.what();
    }
    return nullptr;
}

// Serves the device through the media, then finishes it. A stream whose media broke is over: the
// mover gives -1, also when the server would close the device normally.
int Serve(IClientVirtualDevice* device, std::unique_ptr<MediaFile> media) {
    const HRESULT final = ServeCommands(device, *media, kFileRules);
    if (final == VD_E_CLOSE) {
        Log::WTrace("Thread[%d] - Successfully completed data transfer.", static_cast<int>(GetCurrentThreadId()));
    } else if (!media->Broken()) {
        Log::WError("Unexpected termination: x%X", static_cast<unsigned>(final));
    }
    // A failure of the close fails the stream like any other.
    media->Close();
    return (final == VD_E_CLOSE && !media->Broken()) ? 0 : -1;
}

// Opens the stream's media and serves the device with it.
int Transfer(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index, bool plainOnly) {
    const std::string file = StreamEntry(static_cast<int>(index) + 1);
    // A backup writes beside the file it replaces, under the name its run claimed.
    const std::string path = writeMedia ? MediaWritePath(file) : file;
    std::string reason;
    std::unique_ptr<MediaFile> media;
    if (!plainOnly && (g_config.EncPass[0] != 0 || g_config.CompressType[0] == 'G'))
        media = OpenChain(path, file, writeMedia, &reason);
    else
        media = OpenPlain(path, file, writeMedia, !plainOnly, &reason);
    if (!media) {
        Log::WError("Failed to open: %s (%s)", file.c_str(), reason.c_str());
        return -1;
    }
    return Serve(device, std::move(media));
}

}  // namespace

int TransferFileMedia(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    return Transfer(device, writeMedia, index, false);
}

int TransferPlainFile(IClientVirtualDevice* device, DWORD writeMedia, uint32_t index) {
    return Transfer(device, writeMedia, index, true);
}
