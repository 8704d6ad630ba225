#include "emulator/core/Session.h"
#include "emulator/core/Tsql.h"

#include <unistd.h>
#include <atomic>
#include <thread>

namespace sqlemu {

std::string defaultSqlState(int native, int severity) {
    if (severity <= 10) return "01000";
    if (native == 208) return "42S02";
    return "42000";
}

SqlError::SqlError(int native, int severity, int state, const std::string& text, bool abort, std::string sqlstate)
    : std::runtime_error(text), abortBatch(abort) {
    record.native = native;
    record.severity = severity;
    record.state = state;
    record.text = text;
    record.sqlstate = sqlstate.empty() ? defaultSqlState(native, severity) : std::move(sqlstate);
}

namespace {
std::atomic<unsigned long> g_sessionCounter{0};
}

Session::Session(Catalogue cat, std::string instance, std::string driverName, std::string login, std::string database)
    : cat_(std::move(cat)),
      instance_(std::move(instance)),
      driver_(std::move(driverName)),
      login_(std::move(login)),
      database_(std::move(database)) {
    id_ = std::to_string(getpid()) + "-" + std::to_string(++g_sessionCounter);
    alivePath_ = cat_.sessionLockPath(instance_, id_);
    alive_ = FileLock(alivePath_, true);
}

Session::~Session() {
    ::unlink(alivePath_.c_str());
    alive_.release();
}

const InstanceInfo& Exec::instanceInfo() {
    if (!info_) info_ = session_.catalogue().read(session_.instance());
    return *info_;
}

void Exec::refreshInstanceInfo() { info_.reset(); }

void Exec::flush() {
    std::lock_guard<std::mutex> g(outLock_);
    flushLocked();
}

void Exec::flushLocked() {
    if (pendingErrors_.empty()) return;
    Packet p;
    p.kind = Packet::Error;
    p.records.swap(pendingErrors_);
    out_.deliver(std::move(p));
}

void Exec::info(int native, int severity, int state, const std::string& text) {
    std::lock_guard<std::mutex> g(outLock_);
    flushLocked();
    Packet p;
    p.kind = Packet::Info;
    DiagRecord r;
    r.native = native;
    r.severity = severity;
    r.state = state;
    r.text = text;
    r.sqlstate = "01000";
    p.records.push_back(std::move(r));
    out_.deliver(std::move(p));
}

void Exec::error(int native, int severity, int state, const std::string& text, const std::string& sqlstate) {
    DiagRecord r;
    r.native = native;
    r.severity = severity;
    r.state = state;
    r.text = text;
    r.sqlstate = sqlstate.empty() ? defaultSqlState(native, severity) : sqlstate;
    std::lock_guard<std::mutex> g(outLock_);
    pendingErrors_.push_back(std::move(r));
}

void Exec::error(const DiagRecord& r) {
    std::lock_guard<std::mutex> g(outLock_);
    pendingErrors_.push_back(r);
}

void Exec::results(ResultSet rs) {
    std::lock_guard<std::mutex> g(outLock_);
    flushLocked();
    Packet p;
    p.kind = Packet::Rows;
    p.rows = std::move(rs);
    out_.deliver(std::move(p));
}

bool Exec::sleepFor(std::chrono::milliseconds d) {
    auto end = std::chrono::steady_clock::now() + d;
    while (!cancelled()) {
        auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
    return false;
}

}  // namespace sqlemu
