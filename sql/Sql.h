// SQL Server access over the ODBC 3 driver manager: driver detection, connection
// strings, statement batches with results, the statement thread and diagnostics.
//
// Callers need not see the driver manager's headers: handles are void*
// (SQLHANDLE) and handle types short (SQLSMALLINT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Name of the chosen "ODBC Driver %d for SQL Server"; empty until DetectOdbcDriver. Written at
// start-up, before other threads run; after that only ProcessOdbcMessages writes it, under its
// own lock, and only while it is still empty.
extern char g_odbcDriver[256];

// Lists the installed drivers and copies the name of the highest-numbered
// "ODBC Driver %d for SQL Server" into out (256 bytes). Returns that number (0 or
// more); -1 when no driver matches (out unchanged); 1000000 + rc when the ODBC
// environment cannot be allocated, 2000000 + rc when it cannot be set to ODBC 3.
int DetectOdbcDriver(char* out);

// Interactive connection test through the driver's own prompt; always 0.
int TestOdbcConnection();

// Which spelling of the database key a connection string carries: main's run
// writes "DATABASE=msdb", the restore service "Database=msdb".
enum class ConnKey { Run, Service };

// The room of every connection string the system composes: 511 characters and the NUL.
constexpr size_t kConnStringRoom = 512;

// Composes one of the connection strings into out (room bytes, NUL included).
// Values go in unchanged. Returns false, with out empty, when the text does not
// fit; nothing is ever written past room.
bool ComposeConnectionString(char* out, size_t room, ConnKey key, bool trusted, const char* driver, const char* server,
                             const char* user, const char* pass);

// Runs one batch and returns what it selected: the first value of the last
// result that had one (firstValueOnly), or every value joined by "|" with one
// line per row. Every value comes back whole, whatever its length. Failures are
// logged; the text gathered so far is returned.
std::string QuerySQL(const char* connStr, const char* batch, bool firstValueOnly);
// The same over "DRIVER={SQL Server};SERVER=%s;UID=%s;PWD=%s;".
std::string QuerySQL(const char* server, const char* user, const char* pass, const char* batch, bool firstValueOnly);

// Logs label and then every diagnostic record of the handle.
void ReportOdbcError(const char* label, void* handle, short type);

// Whether ReportOdbcError has logged a server error of this number in this process.
bool ServerErrorReported(long native);

// Logs the progress-shaped messages among the handle's diagnostic records as
// "Operation Progress: ..." and sets *flag to 1 when a record carries native
// error 3014 (a BACKUP or RESTORE that completed). Names the fallback driver "ODBC SQL Server
// Driver" in g_odbcDriver when none was chosen.
void ProcessOdbcMessages(short type, void* handle, int* flag = nullptr);

// Replaces the first occurrence of from in s by to; false when from is absent.
bool ReplaceFirst(std::string& s, const std::string& from, const std::string& to);

// Parameter block of the statement thread. Its creator keeps the block and both
// texts alive and unchanged until the thread has ended.
struct SqlExecParam {
    const char* connStr;
    const char* statement;
};

// Statement thread procedure: runs the batch of the SqlExecParam it is given and
// discards any rows. Exit code 0 when the batch completed, -1 when it failed; an
// unexpected ODBC return code ends the whole process with -10. The signature is
// that of LPTHREAD_START_ROUTINE, so it goes to CreateThread as it is.
uint32_t execSQL(void* param);
