// BACKUP, RESTORE, RESTORE VERIFYONLY and ALTER DATABASE ... SET SINGLE_USER | MULTI_USER of the
// emulated instance. The parser takes in their syntax from statementParsers(); the statements
// stream through the virtual device sets of platform/vdi in the format of BackupStream.h.
//
// Fault switches (sqlemu fault set INSTANCE NAME [VALUE]):
//   vdi-open-delay MS        wait MS milliseconds before opening the device set
//   stream-stop [DEV:]BYTES  device DEV's stream (default 0) stops after BYTES bytes: a backup
//                            sends no more to it and still completes; a restore sees its end
//   unsupported-command      send every device an unknown command code first
//   abort-at PERCENT         abort the set once PERCENT of the data has moved (default 50)
//   single-user-held [DB]    DB (default: every database) is held in single-user mode by another
//                            connection
#pragma once

#include "emulator/core/Tsql.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sqlemu::backup {

struct TransferWith {
    std::optional<int64_t> stats;  // STATS [= n]
    std::optional<int64_t> blockSize, bufferCount, maxTransferSize;
    bool checksum = false, noChecksum = false;
};

struct BackupStatement : Statement {
    bool log = false;
    std::string database;
    std::vector<std::string> devices;
    TransferWith with;
    bool differential = false, compression = false, noCompression = false, copyOnly = false;
    bool norecovery = false;
    std::optional<std::string> standby;
    std::optional<std::string> algorithm, certificate;
    void execute(Exec& x) override;
};

struct RestoreStatement : Statement {
    enum What { Database, Log, VerifyOnly } what = Database;
    std::string database;
    std::vector<std::string> devices;
    TransferWith with;
    bool recovery = false, norecovery = false, replace = false;
    std::optional<std::string> standby;
    std::vector<std::pair<std::string, std::string>> moves;  // logical name, new path
    void execute(Exec& x) override;
};

struct AlterUserAccessStatement : Statement {
    std::string database;
    bool single = false;
    void execute(Exec& x) override;
};

// The parsers of BACKUP, RESTORE and ALTER DATABASE, in the order they are tried.
std::vector<PluggedStatement> statementParsers();

}  // namespace sqlemu::backup
