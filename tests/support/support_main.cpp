#include "tests/support/TestProcess.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

std::string g_supportSelf;
int supportLogChild(const std::string& mode);
int supportRc4Child(const std::string& keyText);

int main(int argc, char** argv) {
    if (argc > 2 && strcmp(argv[1], "--child") == 0) {
        std::string mode = argv[2];
        if (mode == "rc4") return supportRc4Child(argc > 3 ? argv[3] : "");
        return supportLogChild(mode);
    }
    g_supportSelf = kestest::selfExe();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
