// The settings record as a process sees it: each case runs a copy of this
// binary beside its own config.ini, which prints the record after the
// command line has been applied.
#include "config/Config.h"
#include "support/Log.h"
#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using kestest::TempDir;

int CurrentLogLevel();

namespace {

std::string g_self;

struct Outcome {
    int status = 0;
    std::map<std::string, std::string> cfg;
    std::vector<std::string> log;  // messages without their time prefix
};

Outcome runWith(const std::string& ini, const std::vector<std::string>& args, const TempDir& dir) {
    if (!ini.empty()) kestest::writeFile(dir / "config.ini", ini);
    std::string exe = dir / "kestrune";
    if (access(exe.c_str(), X_OK) != 0) exe = kestest::placeProgram(g_self, dir.path(), "kestrune");
    std::vector<std::string> argv = {exe, "--child", "dump"};
    argv.insert(argv.end(), args.begin(), args.end());
    kestest::RunResult r = kestest::run(argv);
    Outcome o;
    o.status = r.status;
    size_t start = 0;
    for (size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string l = r.out.substr(start, nl - start);
        if (l.compare(0, 4, "CFG ") == 0) {
            size_t eq = l.find('=');
            o.cfg[l.substr(4, eq - 4)] = l.substr(eq + 1);
        } else {
            o.log.push_back(l.size() > 10 ? l.substr(10) : l);
        }
    }
    return o;
}

Outcome runWith(const std::string& ini, const std::vector<std::string>& args) {
    TempDir dir;
    return runWith(ini, args, dir);
}

const std::map<std::string, std::string> kDefaults = {
    {"Action", "B"},
    {"BKType", "F"},
    {"IsTrustedConn", "1"},
    {"Instance", ""},
    {"DB", ""},
    {"User", ""},
    {"Pass", ""},
    {"Files", ""},
    {"Host", ""},
    {"RPort", "8080"},
    {"LPort", "0"},
    {"Recovery", "1"},
    {"CopyOnly", "0"},
    {"CompressType", "A"},
    {"CompressLevel", "4"},
    {"EncPass", ""},
    {"S3Key", ""},
    {"S3Secret", ""},
    {"CacheLocation", ""},
    {"MaxCacheSizeMB", "4096"},
    {"Cert", ""},
    {"AsynKey", ""},
    {"EncType", ""},
    {"Agent", ""},
    {"BlockSize", "0"},
    {"BufferCount", "128"},
    {"MaxTransferSize", "524288"},
    {"ValidIPs", ""},
    {"Debug", "0"},
    {"Singleton", "1"},
    {"BOption", ""},
    {"ROption", ""},
    {"Standby", ""},
    {"LocalFolder", ""},
    {"DNet", "0"},
    {"ShowVersion", "0"},
    {"ShowHelp", "0"},
    {"LocalVersion", "0"},
    {"LogLevel", "3"},
};

// The defaults with the given settings changed.
std::map<std::string, std::string> with(std::map<std::string, std::string> changes) {
    std::map<std::string, std::string> m = kDefaults;
    for (auto& kv : changes) m[kv.first] = kv.second;
    return m;
}

std::map<std::string, std::string> settingsOnly(std::map<std::string, std::string> cfg) {
    for (auto it = cfg.begin(); it != cfg.end();) it = it->first.compare(0, 9, "GetConfig") == 0 ? cfg.erase(it) : ++it;
    cfg.erase("ModuleDir");
    cfg.erase("IniPath");
    cfg.erase("ComputerName");
    return cfg;
}

TEST(ConfigFile, WithoutConfigIniEverySettingIsItsDefault) {
    TempDir dir;
    Outcome o = runWith("", {}, dir);
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(settingsOnly(o.cfg), kDefaults);
    EXPECT_EQ(o.cfg["ModuleDir"], dir.path() + "/");
    EXPECT_EQ(o.cfg["IniPath"], dir.path() + "/config.ini");
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(o.cfg["ComputerName"], host);
    EXPECT_TRUE(o.log.empty());
}

TEST(ConfigFile, DefaultSectionReadings) {
    const std::string longInstance(127, 'i');  // as long as the field holds
    Outcome o = runWith(
        "[default]\n"
        "action=R\n"
        "BKType=L\n"
        "Instance=" +
            longInstance +
            "\n"
            "Files=\n"
            "DB = sales \n"
            "User=sa\nPass=secret\n"  // no effect on IsTrustedConn by themselves
            "IsTrustedConn=no\n"
            "Recovery=x\nCopyOnly=1\nDebug=True\nSingleton=false\nDNet=yes\n"
            "LPort=65535\nRPort=65536\n"
            "BlockSize=abc\nBufferCount=  64\nMaxTransferSize=1048576xyz\n"
            "CompressLevel=99999999999\nMaxCacheSizeMB=-12\n"
            "LocalFolder=/no/such/folder\n"
            "BOption=COMPRESSION\n"
            "[Other]\nDB=not read\n",
        {});
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(settingsOnly(o.cfg), with({{"Action", "R"},
                                         {"BKType", "L"},
                                         {"Instance", longInstance},
                                         {"DB", "sales"},
                                         {"User", "sa"},
                                         {"Pass", "secret"},
                                         {"IsTrustedConn", "0"},
                                         {"Recovery", "0"},
                                         {"CopyOnly", "1"},
                                         {"Debug", "1"},  // the key sets the switch only, not the log level
                                         {"Singleton", "0"},
                                         {"DNet", "1"},
                                         {"LPort", "0"},
                                         {"RPort", "1"},
                                         {"BlockSize", "0"},
                                         {"BufferCount", "64"},
                                         {"MaxTransferSize", "1048576"},
                                         {"CompressLevel", "2147483647"},
                                         {"MaxCacheSizeMB", "-12"},
                                         {"LocalFolder", "/no/such/folder"},  // stored without a test
                                         {"BOption", "COMPRESSION"}}));
    EXPECT_TRUE(o.log.empty());
    EXPECT_EQ(o.cfg["GetConfigInt.BufferCount"], "64");
    EXPECT_EQ(o.cfg["GetConfigInt.Absent"], "0");
    EXPECT_EQ(o.cfg["GetConfigBool.CopyOnly"], "1");
    EXPECT_EQ(o.cfg["GetConfigBool.Absent"], "0");
    EXPECT_EQ(o.cfg["GetConfigString.DB"], "1:sal");
}

TEST(ConfigFile, OverLongTextValuesAreRefusedNotCut) {
    // Cut to 511 characters, this list would admit 127.0.0.1 and refuse 127.0.0.12.
    const std::string ips = std::string(501, '1') + ",127.0.0.12";
    const std::string refusedIps =
        "The value of ValidIPs in section [Default] of config.ini is too long: 512 characters, at most 511 are "
        "allowed.";
    struct Case {
        const char* what;
        std::string ini;
        std::vector<std::string> args;
        std::vector<std::string> messages;  // none: the values fit
    };
    const Case cases[] = {
        {"ValidIPs of 512", "[Default]\nValidIPs=" + ips + "\n", {}, {refusedIps}},
        {"ValidIPs of 511", "[Default]\nValidIPs=" + ips.substr(1) + "\n", {}, {}},
        {"Files of 2048",
         "[Default]\nFiles=" + std::string(2048, 'f') + "\n",
         {},
         {"The value of Files in section [Default] of config.ini is too long: 2048 characters, at most 2047 are "
          "allowed."}},
        {"Files of 2047", "[Default]\nFiles=" + std::string(2047, 'f') + "\n", {}, {}},
        {"a word for a letter",
         "[Default]\nAction=Restore\n",
         {},
         {"The value of Action in section [Default] of config.ini is too long: 7 characters, at most 1 are allowed."}},
        {"a section of -i=",
         "[Default]\nDB=x\n[Srv]\nDB=" + std::string(128, 'd') + "\n",
         {"-i=Srv"},
         {"The value of DB in section [Srv] of config.ini is too long: 128 characters, at most 127 are allowed."}},
        // A later layer that sets the key leaves the file as wrong as it was.
        {"set again by an option", "[Default]\nValidIPs=" + ips + "\n", {"-w=127.0.0.1"}, {refusedIps}},
        {"two keys, in reading order",
         "[Default]\nValidIPs=" + ips + "\nPass=" + std::string(300, 'p') + "\n",
         {},
         {"The value of Pass in section [Default] of config.ini is too long: 300 characters, at most 127 are allowed.",
          refusedIps}},
    };
    for (const Case& c : cases) {
        Outcome o = runWith(c.ini, c.args);
        if (c.messages.empty()) {
            EXPECT_EQ(o.status, 0) << c.what;
            EXPECT_TRUE(o.log.empty()) << c.what;
        } else {
            EXPECT_EQ(o.status, 255) << c.what;
            EXPECT_TRUE(o.cfg.empty()) << c.what << ": went on after a refused value";
            EXPECT_EQ(o.log, c.messages) << c.what;
        }
    }
    Outcome o = runWith("[Default]\nValidIPs=" + ips.substr(1) + "\n", {});
    EXPECT_EQ(o.cfg["ValidIPs"], ips.substr(1));
}

TEST(ConfigFile, SwitchAndPortReadings) {
    struct Case {
        const char* value;
        const char* asSwitch;
        const char* asPort;
    };
    const Case cases[] = {
        {"1", "1", "1"},   {"True", "1", "0"},      {"yes", "1", "0"},    {"t", "1", "0"},
        {"Y", "1", "0"},   {"no", "0", "0"},        {"x", "0", "0"},      {"0", "0", "0"},
        {"-5", "0", "-5"}, {"65534", "0", "65534"}, {"131071", "1", "1"}, {"-65536", "0", "-1"},
    };
    for (const Case& c : cases) {
        Outcome o = runWith(std::string("[Default]\nIsTrustedConn=") + c.value + "\nLPort=" + c.value + "\n", {});
        EXPECT_EQ(o.cfg["IsTrustedConn"], c.asSwitch) << c.value;
        EXPECT_EQ(o.cfg["LPort"], c.asPort) << c.value;
    }
}

const std::string kSections =
    "[Default]\nDB=fromdefault\nFiles=default.bak\nPass=inipass\n"
    "[Srv1]\nInstance=real\\inst\nDB=db1\nHost=h1\n"
    "[Srv2]\nDB=db2\nFiles=srv2.bak\n";

TEST(ConfigOptions, InstanceSectionsLoadBeforeEveryOtherOption) {
    struct Case {
        std::vector<std::string> args;
        std::map<std::string, std::string> expected;
    };
    const std::vector<Case> cases = {
        {{"-i=SRV1"}, {{"Instance", "real\\inst"}, {"DB", "db1"}, {"Host", "h1"}, {"Files", "default.bak"}}},
        {{"-i=Srv2"}, {{"Instance", "Srv2"}, {"DB", "db2"}, {"Files", "srv2.bak"}}},
        {{"-i=nosuch"}, {{"Instance", "nosuch"}, {"DB", "fromdefault"}}},
        {{"-d=cli", "-i=Srv1"}, {{"Instance", "real\\inst"}, {"DB", "cli"}, {"Host", "h1"}}},
        {{"-i=Srv1", "-i=Srv2"}, {{"Instance", "Srv2"}, {"DB", "db2"}, {"Host", "h1"}, {"Files", "srv2.bak"}}},
        {{"-i=Srv2", "-i=Srv1"}, {{"Instance", "real\\inst"}, {"DB", "db1"}, {"Files", "srv2.bak"}}},
        {{"-i="}, {{"Instance", ""}, {"DB", "fromdefault"}}},
    };
    for (const Case& c : cases) {
        Outcome o = runWith(kSections, c.args);
        for (const auto& kv : c.expected) EXPECT_EQ(o.cfg[kv.first], kv.second) << c.args[0] << " " << kv.first;
    }
}

TEST(ConfigOptions, TrustedConnectionFollowsTheLastWord) {
    struct Case {
        std::string ini;
        std::vector<std::string> args;
        const char* trusted;
    };
    const std::string noPass = "[Default]\nDB=x\n";
    const std::string iniPass = "[Default]\nPass=inipass\n";
    const Case cases[] = {
        {noPass, {"-u=a", "-p=b"}, "0"},
        {noPass, {"-p=b", "-u=a"}, "0"},
        {noPass, {"-u=a", "-p=b", "-e"}, "1"},
        {noPass, {"-e", "-u=a", "-p=b"}, "0"},
        {noPass, {"-u=a"}, "1"},
        {iniPass, {"-u=a"}, "0"},        // the password from config.ini counts
        {noPass, {"-u=a", "-p="}, "1"},  // an empty value changes only its own field
        {noPass, {"-u=", "-p=b"}, "1"},
        {"[Default]\nIsTrustedConn=no\n", {"-e"}, "1"},
        {"[Default]\nIsTrustedConn=no\n", {}, "0"},
    };
    for (const Case& c : cases) {
        Outcome o = runWith(c.ini, c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(o.cfg["IsTrustedConn"], c.trusted) << joined;
    }
}

TEST(ConfigOptions, EveryOptionWritesItsSetting) {
    Outcome o = runWith("[Default]\nLPort=65535\n", {"-a=R",
                                                     "-A=agent",
                                                     "-b=D",
                                                     "-B=abc",
                                                     "-c=/cache",
                                                     "-C=cert1",
                                                     "-E=aes",
                                                     "-d=db",
                                                     "-M",
                                                     "-f=1@/backups",
                                                     "-H=host1",
                                                     "-l=65535",
                                                     "-L=9000",
                                                     "-m=12",
                                                     "-z=G",
                                                     "-Z=9",
                                                     "-k=key",
                                                     "-K=asym",
                                                     "-s=secret",
                                                     "-T=1048576",
                                                     "-N=64",
                                                     "-o=bo",
                                                     "-O=ro",
                                                     "-S=/no/such/standby",
                                                     "-w=10.0.0.1,10.0.0.2",
                                                     "-P=pass phrase",
                                                     "-v",
                                                     "-h"});
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(settingsOnly(o.cfg), with({{"Action", "R"},
                                         {"Agent", "agent"},
                                         {"BKType", "D"},
                                         {"BlockSize", "0"},
                                         {"CacheLocation", "/cache"},
                                         {"Cert", "cert1"},
                                         {"EncType", "aes"},
                                         {"DB", "db"},
                                         {"Singleton", "0"},
                                         {"Files", "1@/backups"},
                                         {"Host", "host1"},
                                         {"LPort", "65535"},  // no reduction for the option
                                         {"RPort", "9000"},
                                         {"MaxCacheSizeMB", "12"},
                                         {"CompressType", "G"},
                                         {"CompressLevel", "9"},
                                         {"S3Key", "key"},
                                         {"AsynKey", "asym"},
                                         {"S3Secret", "secret"},
                                         {"MaxTransferSize", "1048576"},
                                         {"BufferCount", "64"},
                                         {"BOption", "bo"},
                                         {"ROption", "ro"},
                                         {"Standby", "/no/such/standby"},  // no folder check here
                                         {"ValidIPs", "10.0.0.1,10.0.0.2"},
                                         {"EncPass", "pass phrase"},
                                         {"ShowVersion", "1"},
                                         {"ShowHelp", "1"}}));
}

TEST(ConfigOptions, UnknownAndNearMissArgumentsChangeNothing) {
    Outcome o = runWith(
        "", {"-a", "-help", "-x=1", "-ex", "-D1", "-vh", "A=R", "--a=R", "-I=inst", "-Dx", "-dx", "plain", "", "-"});
    ASSERT_EQ(o.status, 0);
    EXPECT_EQ(settingsOnly(o.cfg), kDefaults);
    EXPECT_TRUE(o.log.empty());
}

TEST(ConfigOptions, DebugSwitchRaisesTheLogLevel) {
    Outcome o = runWith("", {"-d=mydb"});
    EXPECT_EQ(o.cfg["Debug"], "0");
    EXPECT_EQ(o.cfg["LogLevel"], "3");
    o = runWith("", {"-D"});
    EXPECT_EQ(o.cfg["Debug"], "1");
    EXPECT_EQ(o.cfg["LogLevel"], "5");
    EXPECT_EQ(o.log, (std::vector<std::string>{"debug line after parsing"}));
}

TEST(ConfigOptions, LocalFolderMustBeAnExistingDirectory) {
    TempDir dir;
    std::string folder = dir / "copies", file = dir / "afile";
    mkdir(folder.c_str(), 0755);
    kestest::writeFile(file, "x");
    struct Case {
        std::string value;
        std::string stored;
        std::string message;
    };
    const Case cases[] = {
        {folder, folder, "Detect the direcotry for local backup copy [" + folder + "]."},
        {file, "", "The direcotry for local backup copy [" + file + "] did NOT exist. Will skip local copy."},
        {dir / "missing", "",
         "The direcotry for local backup copy [" + dir / "missing" + "] did NOT exist. Will skip local copy."},
        {"", "", "The direcotry for local backup copy [] did NOT exist. Will skip local copy."},
    };
    for (const Case& c : cases) {
        Outcome o = runWith("[Default]\nLocalFolder=" + folder + "\n", {"-F=" + c.value});
        EXPECT_EQ(o.cfg["LocalFolder"], c.stored) << c.value;
        EXPECT_EQ(o.log, std::vector<std::string>{c.message}) << c.value;
    }
}

TEST(ConfigOptions, OverLongValuesAreRefused) {
    struct Case {
        std::string arg;
        bool refused;
        std::string message;
    };
    const std::string tooLong = "The value of option ";
    const Case cases[] = {
        {"-a=R", false, ""},
        {"-a=Restore", true, "The value of option -a= is too long: 7 characters, at most 1 are allowed."},
        {"-i=" + std::string(127, 'n'), false, ""},
        {"-i=" + std::string(128, 'n'), true,
         "The value of option -i= is too long: 128 characters, at most 127 are allowed."},
        {"-f=" + std::string(2047, 'f'), false, ""},
        {"-f=" + std::string(2048, 'f'), true,
         "The value of option -f= is too long: 2048 characters, at most 2047 are allowed."},
        {"-p=" + std::string(200, 'S'), true,
         "The value of option -p= is too long: 200 characters, at most 127 are allowed."},
        {"-o=" + std::string(12, 'o'), true,
         "The value of option -o= is too long: 12 characters, at most 11 are allowed."},
    };
    for (const Case& c : cases) {
        Outcome o = runWith("", {"-d=first", c.arg});
        if (c.refused) {
            EXPECT_EQ(o.status, 255) << c.arg.substr(0, 8);
            EXPECT_TRUE(o.cfg.empty()) << "went on after a refused value";
            EXPECT_EQ(o.log, std::vector<std::string>{c.message}) << c.arg.substr(0, 8);
        } else {
            EXPECT_EQ(o.status, 0) << c.arg.substr(0, 8);
            EXPECT_TRUE(o.log.empty());
        }
    }
}

int dumpChild(int argc, char** argv) {
    if (!Log::Initialize(nullptr)) return 3;
    Log::SetLogLevel(Log::LOG_INFO);
    ParseCommandLine(argc, argv);
    if (!ReportRefusedSettings()) return 255;
    Log::WDebug("debug line after parsing");
    const Config& c = g_config;
    auto text = [](const char* k, const char* v) { printf("CFG %s=%s\n", k, v); };
    auto num = [](const char* k, long v) { printf("CFG %s=%ld\n", k, v); };
    text("IniPath", c.IniPath.c_str());
    text("ModuleDir", c.ModuleDir.c_str());
    text("ComputerName", c.ComputerName);
    num("LocalVersion", c.LocalVersion);
#define T(f) text(#f, c.f)
#define N(f) num(#f, static_cast<long>(c.f))
    T(Action), T(BKType), N(IsTrustedConn), T(Instance), T(DB), T(User), T(Pass), T(Files), T(Host), N(RPort), N(LPort),
        N(Recovery), N(CopyOnly), T(CompressType), N(CompressLevel), T(EncPass), T(S3Key), T(S3Secret),
        T(CacheLocation), N(MaxCacheSizeMB), T(Cert), T(AsynKey), T(EncType), T(Agent), N(BlockSize), N(BufferCount),
        N(MaxTransferSize), T(ValidIPs), N(Debug), N(Singleton), T(BOption), T(ROption), T(Standby), T(LocalFolder),
        N(DNet), N(ShowVersion), N(ShowHelp);
#undef T
#undef N
    num("LogLevel", CurrentLogLevel());
    // The typed readers that the record offers.
    Config& m = g_config;
    num("GetConfigInt.BufferCount", m.GetConfigInt("default", "BUFFERCOUNT"));
    num("GetConfigInt.Absent", m.GetConfigInt("Default", "Absent"));
    num("GetConfigBool.CopyOnly", m.GetConfigBool("Default", "CopyOnly"));
    num("GetConfigBool.Absent", m.GetConfigBool("Default", "Absent"));
    char cut[4];
    bool ok = m.GetConfigString("Default", "DB", sizeof cut, cut);
    printf("CFG GetConfigString.DB=%d:%s\n", ok ? 1 : 0, cut);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--child") == 0) return dumpChild(argc - 2, argv + 2);
    g_self = kestest::selfExe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
