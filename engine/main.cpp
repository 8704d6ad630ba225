#include "config/Config.h"
#include "engine/Version.h"
#include "support/Log.h"

#include <stdio.h>

int main(int argc, char** argv, char** envp) {
    (void)envp;
    if (!Log::Initialize(nullptr)) return -1;
    Log::SetLogLevel(Log::LOG_INFO);
    ParseCommandLine(argc, argv);

    if (g_config.ShowHelp) return 0;
    if (g_config.ShowVersion) {
        printf("%s Version - [%s]", KES_PRODUCT_NAME, KES_PRODUCT_VERSION);
        return 0;
    }

    Log::WError("Backup, restore and restore-service runs are not available in this build yet.");
    return -1;
}
