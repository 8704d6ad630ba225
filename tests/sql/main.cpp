// Test entry of the SQL access tests. "--probe-detect" runs the driver
// detection alone and prints its outcome (the detection cases run it in a child
// process with their own driver list).
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "sql/Sql.h"
#include "support/Log.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe-detect") == 0) {
        Log::Initialize(nullptr);
        Log::SetLogLevel(Log::LOG_DEBUG);
        char out[256] = "unchanged";
        int r = DetectOdbcDriver(out);
        std::printf("result=%d\nname=%s\n", r, out);
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    Log::Initialize(nullptr);
    Log::SetLogLevel(Log::LOG_DEBUG);
    return RUN_ALL_TESTS();
}
