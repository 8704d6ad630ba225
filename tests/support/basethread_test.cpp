#include "support/BaseThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

namespace {

// Returns at once with 42, or polls for the stop, or (stubborn) ignores it
// until released.
class Worker : public Varkon::CBaseThread {
public:
    enum Mode { Quick, Polite, Stubborn };
    explicit Worker(Mode m) : mode(m) {}
    DWORD Run(void* param) override {
        seenParam = param;
        started = true;
        if (mode == Polite) {
            while (!WaitStop(5)) {
            }
            return 7;
        }
        if (mode == Stubborn) {
            while (!release) Sleep(2);
            finished = true;
            return 9;
        }
        return 42;
    }
    Mode mode;
    void* seenParam = nullptr;
    std::atomic<bool> started{false}, release{false}, finished{false};
};

void waitFor(const std::atomic<bool>& flag) {
    for (int i = 0; i < 5000 && !flag; ++i) Sleep(1);
    ASSERT_TRUE(flag);
}

TEST(SupportBaseThread, NeverStarted) {
    Worker w(Worker::Quick);
    EXPECT_FALSE(w.IsExited());
    EXPECT_EQ(w.stopTimeoutMs, 100u);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(w.Stop());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SupportBaseThread, ExitCodeIsTheBodysResult) {
    Worker w(Worker::Quick);
    int param = 0;
    ASSERT_TRUE(w.Start(&param));
    ASSERT_NE(w.thread, nullptr);
    EXPECT_NE(w.threadId, 0u);
    for (int i = 0; i < 5000 && !w.IsExited(); ++i) Sleep(1);
    EXPECT_TRUE(w.IsExited());
    EXPECT_EQ(w.seenParam, &param);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(w.thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(w.Stop());
    EXPECT_EQ(w.thread, nullptr);
}

TEST(SupportBaseThread, PoliteBodySeesTheStopAndCanRunAgain) {
    Worker w(Worker::Polite);
    for (int round = 0; round < 2; ++round) {
        w.started = false;
        ASSERT_TRUE(w.Start(nullptr));
        waitFor(w.started);
        EXPECT_FALSE(w.WaitStop(1000)) << "running: answers at once";  // a wait would fail the time-out below
        EXPECT_FALSE(w.IsExited());
        testing::internal::CaptureStdout();
        EXPECT_TRUE(w.Stop());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(w.WaitStop(30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

TEST(SupportBaseThread, StubbornBodyIsEndedByForce) {
    Worker w(Worker::Stubborn);
    ASSERT_TRUE(w.Start(nullptr));
    waitFor(w.started);
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(w.Stop());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "End Thread Timeout\n");
    EXPECT_EQ(w.thread, nullptr);
    // The abandoned body runs on until it returns by itself; it must finish
    // before the object goes.
    EXPECT_FALSE(w.finished);
    w.release = true;
    waitFor(w.finished);
    Sleep(10);
}

}  // namespace
