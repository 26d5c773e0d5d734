// The text and byte-stream primitives every AutoConfig message is parsed with (their
// encoding on the wire: the AutoConfig tests).
#include "base/CUBuffer.h"
#include "base/CUString.h"

#include <gtest/gtest.h>

TEST(IPAddressText, OnlyFourDecimalsUpTo255)
{
    // Each bad text would become a destination that reads back differently.
    for (const char* good : {"0.0.0.0", "10.0.0.1", "255.255.255.255"})
        EXPECT_NE(CUString::ValidateIPAddress(good), 0) << good;
    for (const char* bad : {"10.0.0.300", "1.2.3", "1.2.3.4 ", " 1.2.3.4", "", "1.2.3.4.5",
                            "1..2.3", "1.2.3.-4", "1.2.3.4\n", "1234.1.1.1", "0x1.2.3.4"})
        EXPECT_EQ(CUString::ValidateIPAddress(bad), 0) << '"' << bad << '"';
    EXPECT_EQ(CUString::ValidateIPAddress(nullptr), 0);
}

TEST(Buffer, StringLengthsPastTheDataFail)
{
    // A length the data cannot hold must fail, not read (or allocate) past the end; one
    // byte past is the case an off-by-one check lets through.
    struct Case {
        const char* why;
        int32_t length;
        size_t limit;
    } cases[] = {{"one byte past the data", 4, SIZE_MAX},
                 {"one byte past the read limit", 3, 6},
                 {"far past", 0x7fffffff, SIZE_MAX},
                 {"negative", -1, SIZE_MAX}};
    for (const Case& c : cases) {
        CUBuffer b;
        b << c.length;
        b.Append("abc", 3);
        b.SetReadLimit(c.limit);
        CUString text("old");
        b >> text;
        EXPECT_TRUE(b.Failed() && text.IsEmpty()) << c.why;
        EXPECT_EQ(b.Remaining(), 0u) << c.why; // a reading loop ends here
    }
    CUBuffer exact;
    exact << int32_t(3);
    exact.Append("abc", 3);
    CUString text;
    exact >> text;
    EXPECT_TRUE(!exact.Failed() && text == "abc") << "exactly the data";
}
