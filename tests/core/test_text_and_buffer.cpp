// The text and byte-stream primitives every AutoConfig message and settings line is
// parsed with.
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

TEST(ParseOneArg, TakesTheFirstTokenAndOneDelimiter)
{
    CUString line("10.0.0.1\tBig Al"), whole("alone");
    EXPECT_EQ(line.ParseOneArg("\n\r\t ", 1).Str(), "10.0.0.1");
    EXPECT_EQ(line.Str(), "Big Al"); // the name keeps its space
    EXPECT_EQ(whole.ParseOneArg("=", 1).Str(), "alone");
    EXPECT_TRUE(whole.IsEmpty());
}

TEST(Buffer, BigEndianSelfDelimitingRoundTrip)
{
    CUBuffer b;
    b << int32_t(1) << CUString("Al") << CUString("") << int32_t(-1);
    const std::vector<uint8_t> wire = {0,   0, 0, 1, 0, 0,   0,   2,   'A',
                                       'l', 0, 0, 0, 0, 255, 255, 255, 255};
    ASSERT_EQ(std::vector<uint8_t>(b.GetData(), b.GetData() + b.GetDataLength()), wire);
    int32_t one = 0, minus = 0;
    CUString al, empty("x");
    b >> one >> al >> empty >> minus;
    EXPECT_TRUE(one == 1 && al == "Al" && empty.IsEmpty() && minus == -1 && !b.Failed());
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
