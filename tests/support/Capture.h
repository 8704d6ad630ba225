// What a piece of a test printed: the console lines of the product's log, a sample client's output.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kestest {

// Runs fn with standard output captured; returns what it printed. An exception from fn ends the
// capture before it goes on.
template <class Fn>
std::string capturedStdout(Fn fn) {
    testing::internal::CaptureStdout();
    try {
        fn();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace kestest
