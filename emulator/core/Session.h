// A connection to an emulated instance and the output of the batches it runs.
//
// The driver makes one Session per connection. Each batch runs on a server-side thread with an
// Exec, the batch's execution context: statements write their output through it as a sequence of
// packets, and the driver hands each packet to the application as it arrives:
//   Info   one informational message   -> SQL_SUCCESS_WITH_INFO from SQLExecDirect / SQLMoreResults
//   Error  one or more error records   -> SQL_ERROR
//   Rows   a result set                -> SQL_SUCCESS, then SQLFetch / SQLGetData
// and the end of the batch -> SQL_NO_DATA from SQLMoreResults.
//
// Message texts are given without the driver's prefix; the driver adds
// "[Microsoft][<driver name>][SQL Server]" (Session::messagePrefix) to every record.
#pragma once

#include "emulator/core/Catalogue.h"

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sqlemu {

struct DiagRecord {
    std::string sqlstate;  // five characters
    int native = 0;        // the server's message number
    int severity = 0;
    int state = 1;
    std::string text;  // without the driver's prefix
};

struct ResultSet {
    std::vector<std::string> columns;
    std::vector<std::vector<std::optional<std::string>>> rows;  // nullopt = NULL
};

struct Packet {
    enum Kind { Info, Error, Rows };
    Kind kind = Info;
    std::vector<DiagRecord> records;  // Info: one; Error: one or more
    ResultSet rows;                   // Rows only
};

// The SQLSTATE a server message reaches the client with: "01000" for severity 10 and below,
// else "42S02" for 208, "42000" for the rest.
std::string defaultSqlState(int native, int severity);

// Thrown by a statement (or an expression) for a server error. The record is delivered with the
// statement's error result. abortBatch: the rest of the batch is not run (most runtime errors let
// the batch go on with its next statement, as BACKUP's and RESTORE's do).
class SqlError : public std::runtime_error {
public:
    SqlError(int native, int severity, int state, const std::string& text, bool abortBatch = false,
             std::string sqlstate = {});
    DiagRecord record;
    bool abortBatch;
};

class Session {
public:
    // Registers the connection as alive (Catalogue::sessionAlive) until the Session is destroyed.
    Session(Catalogue cat, std::string instance, std::string driverName, std::string login, std::string database);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Catalogue& catalogue() { return cat_; }
    const std::string& instance() const { return instance_; }  // as in the catalogue
    const std::string& driverName() const { return driver_; }  // e.g. "ODBC Driver 17 for SQL Server"
    const std::string& login() const { return login_; }
    const std::string& database() const { return database_; }  // the connection's database
    const std::string& id() const { return id_; }              // unique across processes
    std::string messagePrefix() const { return "[Microsoft][" + driver_ + "][SQL Server]"; }

private:
    Catalogue cat_;
    std::string instance_, driver_, login_, database_, id_;
    std::string alivePath_;
    FileLock alive_;
};

// Where a batch's packets go (the driver's channel to the application, or a test's collector).
class OutputSink {
public:
    virtual ~OutputSink() = default;
    virtual void deliver(Packet&& p) = 0;
    // True once the application has cancelled the statement, freed it or disconnected.
    virtual bool cancelled() const = 0;
};

struct Value;

// One batch's execution context, handed to every statement's execute(). info, error, results and
// flush may be called from helper threads of a statement as well; the rest from the batch thread.
class Exec {
public:
    Exec(Session& s, OutputSink& out) : session_(s), out_(out) {}

    Session& session() { return session_; }
    Catalogue& catalogue() { return session_.catalogue(); }
    // The instance's state as read when the batch started (statements that change it re-read it
    // through catalogue().update).
    const InstanceInfo& instanceInfo();
    void refreshInstanceInfo();

    // Sends an informational message now (severity 0..10; SQLSTATE 01000 by default). Pending
    // error records go out first, so the client sees everything in the order it was raised.
    void info(int native, int severity, int state, const std::string& text);
    // Adds an error record to the statement's error result. Consecutive records form one result
    // (one SQL_ERROR carrying them all); it is sent when the next packet is or the batch ends.
    void error(int native, int severity, int state, const std::string& text, const std::string& sqlstate = {});
    void error(const DiagRecord& r);
    // Sends a result set.
    void results(ResultSet rs);
    // Sends pending error records now.
    void flush();

    bool cancelled() const { return out_.cancelled(); }
    // Sleeps up to d; returns false (early) when the statement is cancelled.
    bool sleepFor(std::chrono::milliseconds d);

    // Batch variables (names with their "@", matched case-insensitively through lower-case keys).
    std::map<std::string, std::shared_ptr<Value>>& variables() { return vars_; }

private:
    void flushLocked();
    Session& session_;
    OutputSink& out_;
    std::optional<InstanceInfo> info_;
    std::mutex outLock_;
    std::vector<DiagRecord> pendingErrors_;
    std::map<std::string, std::shared_ptr<Value>> vars_;
};

}  // namespace sqlemu
