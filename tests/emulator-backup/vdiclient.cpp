// A test-only program that does what the product's backup and restore runs do, through the real
// unixODBC driver manager: it creates a virtual device set in its own process, submits a batch that
// names the set's devices, and plays the devices meanwhile, keeping each device's stream in a file.
//
//   vdiclient CONNSTR INSTANCE DEVICES MEDIA_PREFIX BATCH
// INSTANCE is the instance name given to CreateEx ("-": none, the default instance). In BATCH,
// %DEVICES% stands for the device clauses. A backup writes device k's stream to MEDIA_PREFIX<k>;
// a restore or verify reads it from there. Output: "exec:" / "more:" result codes, "diag: SQLSTATE
// NATIVE TEXT" per diagnostic record, then "client: 0xHRESULT".
#include "tests/emulator-backup/DeviceClient.h"
#include "tests/support/Files.h"
#include "tests/support/OdbcNames.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <string>

namespace {

void diags(SQLHSTMT st) {
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        SQLCHAR msg[4096] = {0};
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(SQL_HANDLE_STMT, st, i, state, &native, msg, sizeof msg, &len);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
        std::printf("diag: %s %d %s\n", state, static_cast<int>(native), msg);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: vdiclient CONNSTR INSTANCE DEVICES MEDIA_PREFIX BATCH\n");
        return 2;
    }
    std::string cs = argv[1], inst = argv[2], prefix = argv[4], batch = argv[5];
    unsigned devices = static_cast<unsigned>(std::atoi(argv[3]));
    std::wstring winst(inst.begin(), inst.end());
    testclient::DeviceClient client(devices, inst == "-" ? nullptr : winst.c_str());
    for (unsigned k = 0; k < devices; ++k) client.media[k] = kestest::readFile(prefix + std::to_string(k));
    size_t at = batch.find("%DEVICES%");
    if (at != std::string::npos) batch.replace(at, 9, client.deviceClauses());
    client.start(15000);

    SQLHENV env;
    SQLHDBC dbc;
    SQLHSTMT st;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(&cs[0]), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    std::printf("connect: %s\n", kestest::odbcReturnName(rc));
    if (SQL_SUCCEEDED(rc)) {
        SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
        rc = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(&batch[0]), SQL_NTS);
        const char* what = "exec";
        for (;;) {
            std::printf("%s: %s\n", what, kestest::odbcReturnName(rc));
            if (rc == SQL_SUCCESS_WITH_INFO || rc == SQL_ERROR) diags(st);
            if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO && rc != SQL_ERROR) break;
            rc = SQLMoreResults(st);
            what = "more";
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
        SQLDisconnect(dbc);
    }
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);

    // A statement that failed before it opened the set leaves the client waiting: end that wait.
    client.set()->SignalAbort();
    HRESULT hr = client.finish();
    std::printf("client: 0x%08X\n", static_cast<unsigned>(hr));
    if (client.writeMedia)
        for (unsigned k = 0; k < devices; ++k) kestest::writeFile(prefix + std::to_string(k), client.media[k]);
    return 0;
}
