#include "config/Config.h"

#include "support/Log.h"
#include "support/SysUtils.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <exception>

// Built by static initialisation. The constructor reads only the platform layer
// (whose state is built on first use) and, on a failure, Log (whose state needs
// no constructor), so no other file's global has to be built before it.
Config g_config("Default");

namespace {
bool isTrueText(const char* v) { return v[0] == 'Y' || v[0] == 'y' || v[0] == 'T' || v[0] == 't' || v[0] == '1'; }
}  // namespace

Config::Config(const char* section)
    : ComputerName{},
      LocalVersion(0),
      Action{},
      BKType{},
      IsTrustedConn(true),
      Instance{},
      DB{},
      User{},
      Pass{},
      Files{},
      Host{},
      RPort(8080),
      LPort(0),
      Recovery(true),
      CopyOnly(false),
      CompressType{},
      CompressLevel(4),
      EncPass{},
      S3Key{},
      S3Secret{},
      CacheLocation{},
      MaxCacheSizeMB(4096),
      Cert{},
      AsynKey{},
      EncType{},
      Agent{},
      BlockSize(0),
      BufferCount(128),
      MaxTransferSize(524288),
      ValidIPs{},
      Debug(false),
      Singleton(true),
      BOption{},
      ROption{},
      Standby{},
      LocalFolder{},
      DNet(false),
      ShowVersion(false),
      ShowHelp(false) {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n > 0 && n < sizeof path) {
        const char* slash = strrchr(path, '/');
        if (slash) ModuleDir.assign(path, static_cast<size_t>(slash - path) + 1);
    }
    DWORD size = sizeof ComputerName;
    if (!GetComputerNameA(ComputerName, &size)) ComputerName[0] = '\0';
    strcpy(Action, "B");
    strcpy(BKType, "F");
    strcpy(CompressType, "A");
    // Without the executable's folder there is no settings file to read: a
    // relative "config.ini" would read whatever the working folder holds.
    IniPath = ModuleDir.empty() ? std::string() : ModuleDir + "config.ini";
    LoadSection("Default");
    if (section && *section && strcasecmp(section, "Default") != 0) LoadSection(section);
}

Config::~Config() = default;

bool Config::HasConfigItem(const char* section, const char* key) {
    try {
        if (IniPath.empty()) return false;
        char value[2] = {};
        GetPrivateProfileStringA(section, key, "", value, sizeof value, IniPath.c_str());
        return value[0] != '\0';
    } catch (const std::exception&) {
        Log::WError("Failed to load config item[%s-%s].", section, key);
        return false;
    }
}

void Config::ReadText(const char* section, const char* key, char* field, DWORD width) {
    if (!HasConfigItem(section, key)) return;
    // A cut value would change the setting silently (a cut allow-list admits another address):
    // read it whole, and refuse one that does not fit.
    std::string value(width + 1, '\0');
    DWORD n = GetPrivateProfileStringA(section, key, "", &value[0], width + 1, IniPath.c_str());
    if (n < width) {
        memcpy(field, value.data(), n + 1);
        return;
    }
    for (DWORD room = width + 1; n == room - 1 && room < (1u << 24);) {
        room *= 4;
        value.assign(room, '\0');
        n = GetPrivateProfileStringA(section, key, "", &value[0], room, IniPath.c_str());
    }
    Refused.push_back(RefusedSetting{section, key, n, width - 1});
}

void Config::ReadNumber(const char* section, const char* key, int32_t* field, bool port) {
    if (!HasConfigItem(section, key)) return;
    char value[32] = {};
    GetPrivateProfileStringA(section, key, "", value, sizeof value, IniPath.c_str());
    int32_t v = ReadInt32(value);
    *field = port ? v % 65535 : v;
}

void Config::ReadSwitch(const char* section, const char* key, bool* field) {
    if (!HasConfigItem(section, key)) return;
    char value[32] = {};
    GetPrivateProfileStringA(section, key, "", value, sizeof value, IniPath.c_str());
    *field = isTrueText(value);
}

bool ReportRefusedSettings() {
    for (const RefusedSetting& r : g_config.Refused)
        Log::WError(
            "The value of %s in section [%s] of config.ini is too long: %zu characters, at most %zu are allowed.",
            r.key.c_str(), r.section.c_str(), r.length, r.room);
    return g_config.Refused.empty();
}

bool Config::LoadSection(const char* section) {
    try {
        ReadText(section, "Action", Action, sizeof Action);
        ReadText(section, "BKType", BKType, sizeof BKType);
        ReadSwitch(section, "IsTrustedConn", &IsTrustedConn);
        ReadText(section, "Instance", Instance, sizeof Instance);
        ReadText(section, "DB", DB, sizeof DB);
        ReadText(section, "User", User, sizeof User);
        ReadText(section, "Pass", Pass, sizeof Pass);
        ReadText(section, "Files", Files, sizeof Files);
        ReadText(section, "Host", Host, sizeof Host);
        ReadNumber(section, "RPort", &RPort, true);
        ReadNumber(section, "LPort", &LPort, true);
        ReadSwitch(section, "Recovery", &Recovery);
        ReadSwitch(section, "CopyOnly", &CopyOnly);
        ReadText(section, "CompressType", CompressType, sizeof CompressType);
        ReadNumber(section, "CompressLevel", &CompressLevel, false);
        ReadText(section, "EncPass", EncPass, sizeof EncPass);
        ReadText(section, "S3Key", S3Key, sizeof S3Key);
        ReadText(section, "S3Secret", S3Secret, sizeof S3Secret);
        ReadText(section, "CacheLocation", CacheLocation, sizeof CacheLocation);
        ReadNumber(section, "MaxCacheSizeMB", &MaxCacheSizeMB, false);
        ReadText(section, "Cert", Cert, sizeof Cert);
        ReadText(section, "AsynKey", AsynKey, sizeof AsynKey);
        ReadText(section, "EncType", EncType, sizeof EncType);
        ReadText(section, "Agent", Agent, sizeof Agent);
        ReadNumber(section, "BlockSize", &BlockSize, false);
        ReadNumber(section, "BufferCount", &BufferCount, false);
        ReadNumber(section, "MaxTransferSize", &MaxTransferSize, false);
        ReadText(section, "ValidIPs", ValidIPs, sizeof ValidIPs);
        ReadSwitch(section, "Debug", &Debug);
        ReadSwitch(section, "Singleton", &Singleton);
        ReadText(section, "BOption", BOption, sizeof BOption);
        ReadText(section, "ROption", ROption, sizeof ROption);
        ReadText(section, "Standby", Standby, sizeof Standby);
        ReadText(section, "LocalFolder", LocalFolder, sizeof LocalFolder);
        ReadSwitch(section, "DNet", &DNet);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool Config::GetConfigBool(const char* section, const char* key) {
    try {
        char value[8] = {};
        GetPrivateProfileStringA(section, key, "", value, sizeof value, IniPath.c_str());
        return isTrueText(value);
    } catch (const std::exception&) {
        Log::WError("Failed to load config item[%s-%s].", section, key);
        return false;
    }
}

int Config::GetConfigInt(const char* section, const char* key) {
    try {
        char value[32] = {};
        GetPrivateProfileStringA(section, key, "", value, sizeof value, IniPath.c_str());
        return ReadInt32(value);
    } catch (const std::exception&) {
        Log::WError("Failed to load config item[%s-%s].", section, key);
        return -1;
    }
}

bool Config::GetConfigString(const char* section, const char* key, DWORD size, char* out) {
    try {
        GetPrivateProfileStringA(section, key, "", out, size, IniPath.c_str());
        return true;
    } catch (const std::exception&) {
        Log::WError("Failed to load config item[%s-%s].", section, key);
        return false;
    }
}
