#include "emulator/core/BatchRun.h"
#include "emulator/core/Tsql.h"

namespace sqlemu {

BatchRun::BatchRun(Session& session, std::string batch) {
    thread_ = std::thread([this, &session, batch = std::move(batch)] {
        try {
            Exec x(session, *this);
            runBatch(x, batch);
        } catch (std::exception& e) {  // runBatch reports what it meets; this is the last guard
            Packet p;
            p.kind = Packet::Error;
            p.records.push_back(
                SqlError(50000, 16, 1, std::string("Internal error of the emulated server: ") + e.what()).record);
            deliver(std::move(p));
        }
        std::lock_guard<std::mutex> g(m_);
        done_ = true;
        cv_.notify_all();
    });
}

BatchRun::~BatchRun() { stop(); }

void BatchRun::stop() {
    cancel_ = true;
    if (thread_.joinable()) thread_.join();
}

void BatchRun::deliver(Packet&& p) {
    std::lock_guard<std::mutex> g(m_);
    queue_.push_back(std::move(p));
    cv_.notify_all();
}

bool BatchRun::next(Packet& out) {
    std::unique_lock<std::mutex> g(m_);
    cv_.wait(g, [&] { return !queue_.empty() || done_; });
    if (queue_.empty()) return false;
    out = std::move(queue_.front());
    queue_.pop_front();
    return true;
}

std::vector<Packet> BatchRun::rest() {
    std::vector<Packet> out;
    Packet p;
    while (next(p)) out.push_back(std::move(p));
    return out;
}

}  // namespace sqlemu
