// The process-wide settings record: constructor defaults, then the "Default"
// section of config.ini beside the executable, then the sections named by
// "-i=", then the other command-line options (ParseCommandLine).
#pragma once

#include "platform/win32/win32.h"

#include <stdint.h>

#include <string>
#include <vector>

// A config.ini text value that does not fit its field: not stored, and the start-up stops.
struct RefusedSetting {
    std::string section;
    std::string key;
    size_t length;  // the value's characters
    size_t room;    // the most the field holds
};

class Config {
public:
    explicit Config(const char* section);
    ~Config();

    // Reads the keys of one section that are present with a value; false when
    // a fault stopped the reading.
    bool LoadSection(const char* section);
    bool HasConfigItem(const char* section, const char* key);
    bool GetConfigBool(const char* section, const char* key);
    int GetConfigInt(const char* section, const char* key);
    bool GetConfigString(const char* section, const char* key, DWORD size, char* out);

    std::string IniPath;    // ModuleDir + "config.ini"
    std::string ModuleDir;  // the executable's folder, ending in "/"
    char ComputerName[128];
    int32_t LocalVersion;  // major * 100 + minor of the local server; 0 until queried

    char Action[2];  // "B" backup, "R" restore, "V" verify
    char BKType[2];  // "F" full, "D" differential, "L" log
    bool IsTrustedConn;
    char Instance[128];
    char DB[128];
    char User[128];
    char Pass[128];
    char Files[2048];
    char Host[256];
    int32_t RPort;
    int32_t LPort;
    bool Recovery;
    bool CopyOnly;
    char CompressType[2];
    int32_t CompressLevel;
    char EncPass[128];
    char S3Key[128];
    char S3Secret[128];
    char CacheLocation[256];
    int32_t MaxCacheSizeMB;
    char Cert[128];
    char AsynKey[128];
    char EncType[16];
    char Agent[256];
    int32_t BlockSize;
    int32_t BufferCount;
    int32_t MaxTransferSize;
    char ValidIPs[512];
    bool Debug;
    bool Singleton;
    char BOption[12];
    char ROption[12];
    char Standby[512];
    char LocalFolder[512];
    bool DNet;

    bool ShowVersion;
    bool ShowHelp;

    // Every refusal of every section read, in reading order. The settings are read before the log
    // is open, so main reports them once it is (ReportRefusedSettings); a later layer that sets the
    // same key does not undo a refusal: the file is wrong.
    std::vector<RefusedSetting> Refused;

private:
    void ReadText(const char* section, const char* key, char* field, DWORD width);
    void ReadNumber(const char* section, const char* key, int32_t* field, bool port);
    void ReadSwitch(const char* section, const char* key, bool* field);
};

extern Config g_config;

// Logs an Error line for each refused config.ini value; false when there was one.
bool ReportRefusedSettings();

// Applies the command line to g_config: first every "-i=" (loads that section),
// then every other option in argument order. A text value too long for its
// field is refused: the option is named in an error line and the process
// ends with -1 before anything runs.
void ParseCommandLine(int argc, char** argv);
