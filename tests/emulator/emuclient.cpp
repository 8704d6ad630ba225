// A small ODBC client for the emulator's tests: it talks to the driver only through the unixODBC
// driver manager and prints every step, so that a test can compare the whole walk as text.
//
//   emuclient drivers
//   emuclient [options] run CONNSTR BATCH [BATCH ...]      one connection, the batches in turn
//   emuclient parallel CONNSTR                             two connections in two threads
//   emuclient stress CONNSTR THREADS ROUNDS                many connections of one process at once
// options: --diagbuf N    SQLGetDiagRec message buffer (default 4096)
//          --steps N      disconnect after N results of the first batch (streaming check)
//
// Output lines: "connect: RC", "exec: RC", "more: RC", "diag: SQLSTATE NATIVE TEXT",
// "diagrc: RC LEN" (when a message did not fit the buffer), "cols: N", "row: V1|V2" (NULL for
// SQL_NULL_DATA), "disconnect: RC".
#include "tests/support/OdbcNames.h"

#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_diagBuf = 4096;

void diags(SQLSMALLINT type, SQLHANDLE h, std::string& out) {
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {0};
        SQLINTEGER native = 0;
        std::vector<SQLCHAR> msg(static_cast<size_t>(g_diagBuf) + 1, 0);
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRec(type, h, i, state, &native, msg.data(), static_cast<SQLSMALLINT>(g_diagBuf), &len);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
        out += "diag: " + std::string(reinterpret_cast<char*>(state)) + " " + std::to_string(native) + " " +
               reinterpret_cast<char*>(msg.data()) + "\n";
        if (rc == SQL_SUCCESS_WITH_INFO)
            out += "diagrc: " + std::string(kestest::odbcReturnName(rc)) + " " + std::to_string(len) + "\n";
    }
}

void rows(SQLHSTMT st, std::string& out) {
    SQLSMALLINT n = 0;
    SQLNumResultCols(st, &n);
    if (n == 0) return;
    out += "cols: " + std::to_string(n) + "\n";
    while (SQL_SUCCEEDED(SQLFetch(st))) {
        std::string row;
        for (SQLUSMALLINT c = 1; c <= n; ++c) {
            std::vector<char> buf(8192, 0);
            SQLLEN ind = 0;
            SQLRETURN rc = SQLGetData(st, c, SQL_C_CHAR, buf.data(), static_cast<SQLLEN>(buf.size()), &ind);
            if (c > 1) row += "|";
            if (!SQL_SUCCEEDED(rc))
                row += "<" + std::string(kestest::odbcReturnName(rc)) + ">";
            else if (ind == SQL_NULL_DATA)
                row += "NULL";
            else
                row += buf.data();
        }
        out += "row: " + row + "\n";
    }
}

struct Conn {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;

    bool open(const std::string& cs, std::string& out) {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
        SQLCHAR outStr[1024];
        SQLSMALLINT outLen = 0;
        SQLRETURN rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(cs.c_str())),
                                        SQL_NTS, outStr, sizeof outStr, &outLen, SQL_DRIVER_NOPROMPT);
        out += "connect: " + std::string(kestest::odbcReturnName(rc)) + "\n";
        if (rc != SQL_SUCCESS) diags(SQL_HANDLE_DBC, dbc, out);
        connected = SQL_SUCCEEDED(rc);
        return connected;
    }
    void close(std::string& out) {
        if (connected) out += "disconnect: " + std::string(kestest::odbcReturnName(SQLDisconnect(dbc))) + "\n";
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

// Runs one batch and walks its results; stops after maxSteps results when maxSteps > 0.
SQLHSTMT walk(SQLHDBC dbc, const std::string& batch, int maxSteps, std::string& out) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
    SQLRETURN rc = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(const_cast<char*>(batch.c_str())), SQL_NTS);
    const char* what = "exec";
    for (int step = 1;; ++step) {
        out += std::string(what) + ": " + kestest::odbcReturnName(rc) + "\n";
        if (rc == SQL_SUCCESS_WITH_INFO || rc == SQL_ERROR || rc == SQL_STILL_EXECUTING)
            diags(SQL_HANDLE_STMT, st, out);
        if (rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) rows(st, out);
        if (rc == SQL_NO_DATA || rc == SQL_INVALID_HANDLE) break;
        if (rc == SQL_STILL_EXECUTING) {
            // The manager refuses the statement from now on: show it once, then give up on it.
            rc = SQLMoreResults(st);
            out += "again: " + std::string(kestest::odbcReturnName(rc)) + "\n";
            if (rc == SQL_ERROR) diags(SQL_HANDLE_STMT, st, out);
            return SQL_NULL_HSTMT;
        }
        if (maxSteps > 0 && step >= maxSteps) return st;
        rc = SQLMoreResults(st);
        what = "more";
    }
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return SQL_NULL_HSTMT;
}

int drivers() {
    SQLHENV env;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLCHAR desc[256], attr[256];
    SQLSMALLINT dl, al;
    SQLUSMALLINT dir = SQL_FETCH_FIRST;
    while (SQLDrivers(env, dir, desc, sizeof desc, &dl, attr, sizeof attr, &al) == SQL_SUCCESS) {
        std::printf("driver: %s\n", desc);
        dir = SQL_FETCH_NEXT;
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return 0;
}

// Two connections of one process at once: A's batch waits; B runs a query meanwhile and then
// cancels A. With the manager serialising calls, B could not run until A ended (it never would).
int parallel(const std::string& cs) {
    std::string outA, outB;
    Conn a, b;
    if (!a.open(cs, outA) || !b.open(cs, outB)) {
        std::fputs((outA + outB).c_str(), stdout);
        return 1;
    }
    SQLHSTMT sa = SQL_NULL_HSTMT;
    SQLAllocHandle(SQL_HANDLE_STMT, a.dbc, &sa);
    SQLRETURN rcA = SQL_SUCCESS;
    std::thread ta([&] {
        rcA = SQLExecDirect(sa, reinterpret_cast<SQLCHAR*>(const_cast<char*>("WAITFOR DELAY '00:10:00'")), SQL_NTS);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string walkB;
    walk(b.dbc, "SELECT 'B ran while A waited'", 0, walkB);
    SQLRETURN rcCancel = SQLCancel(sa);
    ta.join();
    std::string diagA;
    diags(SQL_HANDLE_STMT, sa, diagA);
    std::printf("%sB: cancel %s\nA: exec %s\n%s", walkB.c_str(), kestest::odbcReturnName(rcCancel),
                kestest::odbcReturnName(rcA), diagA.c_str());
    SQLFreeHandle(SQL_HANDLE_STMT, sa);
    std::string ignore;
    a.close(ignore);
    b.close(ignore);
    return 0;
}

// THREADS threads, each ROUNDS times: connect, run a batch, walk it, disconnect. Prints how many
// walks came out as expected.
int stress(const std::string& cs, int threads, int rounds) {
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t)
        ts.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                std::string out, tag = std::to_string(t) + "-" + std::to_string(r);
                Conn c;
                if (c.open(cs, out)) walk(c.dbc, "PRINT '" + tag + "' SELECT '" + tag + "'", 0, out);
                c.close(out);
                std::string want = "connect: SQL_SUCCESS\nexec: SQL_SUCCESS_WITH_INFO\ndiag: 01000 0 ";
                bool ok = out.rfind(want, 0) == 0 &&
                          out.find("]" + tag + "\nmore: SQL_SUCCESS\ncols: 1\nrow: " + tag +
                                   "\nmore: SQL_NO_DATA\ndisconnect: SQL_SUCCESS\n") != std::string::npos;
                (ok ? good : bad)++;
                if (!ok) std::fprintf(stderr, "%s", out.c_str());
            }
        });
    for (auto& t : ts) t.join();
    std::printf("good: %d\nbad: %d\n", good.load(), bad.load());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    int maxSteps = 0;
    while (!a.empty() && a[0].rfind("--", 0) == 0 && a.size() >= 2) {
        if (a[0] == "--diagbuf")
            g_diagBuf = std::atoi(a[1].c_str());
        else if (a[0] == "--steps")
            maxSteps = std::atoi(a[1].c_str());
        else
            break;
        a.erase(a.begin(), a.begin() + 2);
    }
    if (a.size() == 1 && a[0] == "drivers") return drivers();
    if (a.size() == 2 && a[0] == "parallel") return parallel(a[1]);
    if (a.size() == 4 && a[0] == "stress") return stress(a[1], std::atoi(a[2].c_str()), std::atoi(a[3].c_str()));
    if (a.size() < 2 || a[0] != "run") {
        std::fprintf(
            stderr,
            "usage: emuclient drivers | [--diagbuf N] [--steps N] run CONNSTR [BATCH ...] | parallel CONNSTR\n");
        return 2;
    }
    std::string out;
    Conn c;
    if (c.open(a[1], out)) {
        for (size_t i = 2; i < a.size(); ++i) {
            SQLHSTMT left = walk(c.dbc, a[i], i == 2 ? maxSteps : 0, out);
            if (left != SQL_NULL_HSTMT) {
                out += "stopped\n";  // the statement is still running: SQLDisconnect must end it
                break;
            }
        }
    }
    c.close(out);
    std::fputs(out.c_str(), stdout);
    return 0;
}
