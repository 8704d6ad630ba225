// One batch running on a server thread of its own, its packets taken as they arrive: what the
// driver does for SQLExecDirect, and what an in-process test does to play the client side.
//
//   sqlemu::Session s(cat, "MSSQLSERVER", "ODBC Driver 17 for SQL Server", "sa", "msdb");
//   sqlemu::BatchRun run(s, "BACKUP DATABASE [d] TO VIRTUAL_DEVICE='...' WITH ...");
//   sqlemu::Packet p;
//   while (run.next(p)) { ... }          // blocks for each packet; false once the batch has ended
#pragma once

#include "emulator/core/Session.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sqlemu {

class BatchRun : public OutputSink {
public:
    // Starts the batch at once. The session must outlive the run.
    BatchRun(Session& session, std::string batch);
    // Cancels the batch if it still runs and waits for its thread.
    ~BatchRun() override;
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    // The next packet (waiting for it), or false once the batch has ended and all were taken.
    bool next(Packet& out);
    // Every remaining packet, once the batch has ended.
    std::vector<Packet> rest();
    // Asks the batch to stop (statements see Exec::cancelled()); returns at once.
    void cancel() { cancel_ = true; }
    // Cancels and waits for the batch's thread.
    void stop();

    void deliver(Packet&& p) override;
    bool cancelled() const override { return cancel_.load(); }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Packet> queue_;
    bool done_ = false;
    std::atomic<bool> cancel_{false};
    std::thread thread_;
};

}  // namespace sqlemu
