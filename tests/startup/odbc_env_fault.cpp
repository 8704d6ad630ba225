// Preloaded into the executable: makes the driver manager's environment fail the way a broken
// ODBC installation does. ODBC_ENV_FAULT=alloc fails SQLAllocHandle(SQL_HANDLE_ENV) with
// SQL_ERROR, ODBC_ENV_FAULT=version fails SQLSetEnvAttr; everything else goes to the real calls.
#include <dlfcn.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <cstring>

namespace {
bool Fault(const char* which) {
    const char* f = std::getenv("ODBC_ENV_FAULT");
    return f && std::strcmp(f, which) == 0;
}
}  // namespace

extern "C" SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    if (type == SQL_HANDLE_ENV && Fault("alloc")) {
        if (output) *output = SQL_NULL_HANDLE;
        return SQL_ERROR;
    }
    using Real = SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SQLAllocHandle"));
    return real(type, input, output);
}

extern "C" SQLRETURN SQLSetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER length) {
    if (attribute == SQL_ATTR_ODBC_VERSION && Fault("version")) return SQL_ERROR;
    using Real = SQLRETURN (*)(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "SQLSetEnvAttr"));
    return real(env, attribute, value, length);
}
