#include "config/Config.h"
#include "platform/win32/win32.h"
#include "support/Log.h"
#include "support/SysUtils.h"

#include <stdlib.h>
#include <string.h>

namespace {

enum class Kind { Text, Number, SetTrue, SetFalse };

struct Option {
    const char* name;  // "-a=" or a bare switch such as "-e"
    Kind kind;
    char* text;  // Text: the field and its width
    size_t width;
    int32_t* number;
    bool* flag;
};

// A value that does not fit its field is refused rather than cut: a cut file
// list, host or pass phrase would run a different job than the one asked for.
void checkFits(const char* name, const char* value, size_t width) {
    size_t len = strlen(value);
    if (len < width) return;
    Log::WError("The value of option %s is too long: %zu characters, at most %zu are allowed.", name, len, width - 1);
    ExitProcess(static_cast<UINT>(-1));  // through the end handlers, so the log gets its last line
}

void copyText(char* field, size_t width, const char* value) {
    memset(field, 0, width);
    memcpy(field, value, strlen(value));
}

}  // namespace

void ParseCommandLine(int argc, char** argv) {
    Config& c = g_config;
#define KES_TEXT(opt, field) \
    { opt, Kind::Text, c.field, sizeof c.field, nullptr, nullptr }
#define KES_NUMBER(opt, field) \
    { opt, Kind::Number, nullptr, 0, &c.field, nullptr }
#define KES_SET(opt, kind, field) \
    { opt, kind, nullptr, 0, nullptr, &c.field }
    const Option options[] = {
        KES_TEXT("-a=", Action),
        KES_TEXT("-A=", Agent),
        KES_TEXT("-b=", BKType),
        KES_NUMBER("-B=", BlockSize),
        KES_TEXT("-c=", CacheLocation),
        KES_TEXT("-C=", Cert),
        KES_SET("-e", Kind::SetTrue, IsTrustedConn),
        KES_TEXT("-E=", EncType),
        KES_TEXT("-d=", DB),
        KES_SET("-D", Kind::SetTrue, Debug),
        KES_SET("-M", Kind::SetFalse, Singleton),
        KES_TEXT("-u=", User),
        KES_TEXT("-p=", Pass),
        KES_TEXT("-P=", EncPass),
        KES_TEXT("-f=", Files),
        KES_TEXT("-H=", Host),
        KES_NUMBER("-l=", LPort),
        KES_NUMBER("-L=", RPort),
        KES_NUMBER("-m=", MaxCacheSizeMB),
        KES_TEXT("-z=", CompressType),
        KES_NUMBER("-Z=", CompressLevel),
        KES_TEXT("-k=", S3Key),
        KES_TEXT("-K=", AsynKey),
        KES_TEXT("-s=", S3Secret),
        KES_NUMBER("-T=", MaxTransferSize),
        KES_NUMBER("-N=", BufferCount),
        KES_TEXT("-o=", BOption),
        KES_TEXT("-O=", ROption),
        KES_TEXT("-S=", Standby),
        KES_TEXT("-F=", LocalFolder),
        KES_TEXT("-w=", ValidIPs),
        KES_SET("-v", Kind::SetTrue, ShowVersion),
        KES_SET("-h", Kind::SetTrue, ShowHelp),
    };
#undef KES_TEXT
#undef KES_NUMBER
#undef KES_SET

    // Pass 1: the sections named by "-i=", so that every other option wins over them.
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "-i=", 3) != 0) continue;
        const char* value = argv[i] + 3;
        checkFits("-i=", value, sizeof c.Instance);
        copyText(c.Instance, sizeof c.Instance, value);
        c.LoadSection(value);
    }

    // Pass 2: every other option, in argument order.
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const Option* opt = nullptr;
        for (const Option& o : options) {
            bool withValue = o.name[2] == '=';
            if (withValue ? strncmp(arg, o.name, 3) == 0 : strcmp(arg, o.name) == 0) {
                opt = &o;
                break;
            }
        }
        if (!opt) continue;
        const char* value = opt->name[2] == '=' ? arg + 3 : "";
        switch (opt->kind) {
            case Kind::Text:
                checkFits(opt->name, value, opt->width);
                copyText(opt->text, opt->width, value);
                break;
            case Kind::Number: *opt->number = ReadInt32(value); break;
            case Kind::SetTrue: *opt->flag = true; break;
            case Kind::SetFalse: *opt->flag = false; break;
        }
        if (opt->flag == &c.Debug) Log::SetLogLevel(Log::LOG_DEBUG);
        if (opt->text == c.User && value[0] && c.Pass[0]) c.IsTrustedConn = false;
        if (opt->text == c.Pass && value[0] && c.User[0]) c.IsTrustedConn = false;
        if (opt->text == c.LocalFolder) {
            DWORD attrs = GetFileAttributesA(c.LocalFolder);
            if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
                // The odd spelling is on purpose: log watchers match the line as it stands.
                Log::WWarn("The direcotry for local backup copy [%s] did NOT exist. Will skip local copy.",
                           c.LocalFolder);
                memset(c.LocalFolder, 0, sizeof c.LocalFolder);
            } else {
                // The odd spelling is on purpose: log watchers match the line as it stands.
                Log::WInfo("Detect the direcotry for local backup copy [%s].", c.LocalFolder);
            }
        }
    }
}
