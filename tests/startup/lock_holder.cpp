// Another instance, as far as the single-instance lock goes: takes the lock
// under the program's fixed name, says "held", and keeps it until stdin closes
// or it is killed.
#include <cstdio>

#include "engine/startup.h"
#include "platform/win32/win32.h"

int main() {
    HANDLE h = CreateMutexA(nullptr, TRUE, kSingleInstanceName);
    if (h == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::printf("busy\n");
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
