// The product's code includes the ODBC headers and the device-set header in one source; both
// orders must compile and agree on the shared names.
#include <sql.h>
#include <sqlext.h>

#include "platform/vdi/vdi.h"

#include <gtest/gtest.h>

#include <type_traits>

TEST(VdiHeaders, AgreeWithTheOdbcHeaders) {
    static_assert(std::is_same<DWORD, SQLUINTEGER>::value, "DWORD is the ODBC headers' 32-bit unsigned");
    static_assert(sizeof(GUID) == 16 && sizeof(SQLGUID) == 16, "one GUID layout");
    EXPECT_LT(VD_E_CLOSE, 0);
    EXPECT_TRUE(FAILED(VD_E_CLOSE));
    EXPECT_EQ(12u, VDC_Flush);
}
