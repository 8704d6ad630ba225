// Every T-SQL text the program submits is composed here: the one batch of a backup, restore or
// verify run with its single-user wrapper, the restore service's RESTORE batch, the MOVE-clause
// query and the query that resolves a list. A name always goes between brackets with every "]"
// doubled, a text inside a string literal with every "'" doubled, so that a database, file or
// folder name with "]", "'" or "." stays one name; a well-formed name reads as it always did.
#pragma once

#include "config/Config.h"

#include <cstddef>
#include <string>

// A name between brackets, every "]" doubled.
std::string BracketName(const std::string& name);
// Text for a string literal, every "'" doubled.
std::string LiteralText(const std::string& text);

// True when a log backup takes the standby clause: the clause needs an existing folder, which the
// run checks before it composes anything else.
bool NeedsStandbyClause(const Config& cfg);

// "Standby='<folder>[/]<db>_<letter>_<yyyymmddhhmmss>.dat'", the path quoted.
std::string StandbyOption(const char* folder, const std::string& database, char bkType, const SYSTEMTIME& now);

// ", " and the standby option of a log backup of cfg.DB at the given local time.
std::string StandbyClause(const Config& cfg, const SYSTEMTIME& now);

// The whole batch. `setName` names device 0; device i is the set name followed by i. `clauses`
// is the resolved MOVE-clause list (only a restore of a full backup uses it). `now` stamps the
// standby file name.
std::string ComposeStatement(const Config& cfg, int deviceCount, const wchar_t* setName, const std::string& clauses,
                             const SYSTEMTIME& now);

// The device name of index i: the set name, followed by i in decimal for i above 0.
std::wstring DeviceName(const wchar_t* setName, unsigned index);
// " VIRTUAL_DEVICE='<set>'", then ", VIRTUAL_DEVICE='<set><i>'" for i = 1 .. count - 1: every
// device of the set by DeviceName.
std::string DeviceList(const wchar_t* setName, unsigned count);

// A RESTORE batch with the place of its device list: the two characters "%s" at `marker`, kept
// apart from any "%s" that a database name or a MOVE clause brings.
struct RestoreTemplate {
    std::string text;
    size_t marker = std::string::npos;
};

// "RESTORE <kind> [<db>] FROM %s WITH STATS=5, <replace><middle><resolved>;" wrapped in the
// single-user switch for a database in standby. `middle` is the standby option, "NORECOVERY" or
// "RECOVERY"; `resolved` is the resolved move list (placed unless it is the text "NULL").
RestoreTemplate ComposeServiceRestore(const std::string& kind, const std::string& database, bool replace,
                                      const std::string& middle, const std::string& resolved);

// The query whose one value is the unresolved list of `db`: one clause per file,
// ", MOVE ''<logical>'' TO ''<%DATA%|%LOG%><file name>''", every quote written twice so that the
// list can stand inside a literal (a quote in a name is written four times). The list has no
// length limit of its own.
std::string MoveClauseQuery(const std::string& db);
// The query whose one value is `list` resolved against the server's default data and log folders.
// `list` goes in as it stands: it is written for this literal.
std::string ResolveClausesQuery(const std::string& list);
// The query whose one value is 1 when the server has a database of the name, else 0.
std::string DatabaseExistsQuery(const std::string& db);
