// The one temporary-folder fixture of the C++ tests.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace kestest {

// A fresh folder of its own under $TMPDIR (or /tmp), named after `prefix`, removed with everything
// in it at the end; KES_KEEP_TMP=1 keeps it for a look afterwards.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kes-test") {
        const char* base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
        path_ = buf.data();
    }
    ~TempDir() {
        if (getenv("KES_KEEP_TMP")) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace kestest
