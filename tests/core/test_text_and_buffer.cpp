// The text and byte-stream primitives everything else parses with.
#include "base/CUBuffer.h"
#include "base/CUString.h"

#include <gtest/gtest.h>

#include <vector>

TEST(IPAddressText, OnlyFourDecimalsUpTo255)
{
    for (const char* good : {"0.0.0.0", "10.0.0.1", "255.255.255.255", "192.168.001.020"})
        EXPECT_NE(CUString::ValidateIPAddress(good), 0) << good;
    for (const char* bad :
         {"10.0.0.300", "1.2.3", "1.2.3.4 ", " 1.2.3.4", "a.b.c.d", "", "1.2.3.4.5", "1..2.3",
          "1.2.3.-4", "1.2.3.4\n", "1234.1.1.1", "0x1.2.3.4"})
        EXPECT_EQ(CUString::ValidateIPAddress(bad), 0) << '"' << bad << '"';
    EXPECT_EQ(CUString::ValidateIPAddress(nullptr), 0);
}

TEST(ParseOneArg, TakesTheFirstTokenAndOneDelimiter)
{
    CUString line("10.0.0.1\tBig Al");
    EXPECT_EQ(line.ParseOneArg("\n\r\t ", 1).Str(), "10.0.0.1");
    EXPECT_EQ(line.Str(), "Big Al");

    CUString whole("alone");
    EXPECT_EQ(whole.ParseOneArg("=", 1).Str(), "alone");
    EXPECT_TRUE(whole.IsEmpty());

    CUString leading(" x");
    EXPECT_TRUE(leading.ParseOneArg(" ", 1).IsEmpty());
    EXPECT_EQ(leading.Str(), "x");
}

TEST(TextCompare, ExactAndCaseless)
{
    CUString bob("Bob");
    EXPECT_EQ(bob.Compare("Bob"), 0);
    EXPECT_NE(bob.Compare("bob"), 0);
    EXPECT_EQ(bob.CompareNoCase("bOB"), 0);
    EXPECT_EQ(bob.Find("ob"), 1);
    EXPECT_EQ(bob.Find('x'), -1);
    EXPECT_EQ(bob.Right(2).Str(), "ob");
    EXPECT_EQ(bob.Right(9).Str(), "Bob");
    CUString version;
    version.Format("%2.2f", 1.04);
    EXPECT_EQ(version.Str(), "1.04");
}

TEST(Buffer, IntsAndStringsAreBigEndianAndSelfDelimiting)
{
    CUBuffer buffer;
    buffer << int32_t(1) << CUString("Al") << CUString("") << int32_t(-1);
    const std::vector<uint8_t> expected = {0,   0, 0, 1, 0, 0,    0,    2,    'A',
                                           'l', 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff};
    ASSERT_EQ(buffer.GetDataLength(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.GetData()));

    int32_t one = 0, minus = 0;
    CUString al, empty("x");
    buffer >> one >> al >> empty >> minus;
    EXPECT_EQ(one, 1);
    EXPECT_EQ(al.Str(), "Al");
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(minus, -1);
    EXPECT_FALSE(buffer.Failed());
}

TEST(Buffer, TruncatedOrLyingInputNeverReadsPastTheEnd)
{
    CUBuffer buffer;
    buffer << int32_t(0x7fffffff); // a string length far beyond the data
    buffer.Append("abc", 3);
    CUString text("old");
    buffer >> text;
    EXPECT_TRUE(buffer.Failed());
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ(static_cast<size_t>(buffer.GetReadPosition()), buffer.GetDataLength());

    CUBuffer negative;
    negative << int32_t(-5);
    negative >> text;
    EXPECT_TRUE(negative.Failed());

    CUBuffer shortInt;
    shortInt.Append("\x01\x02\x03", 3);
    int32_t value = 7;
    shortInt >> value;
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(shortInt.Failed());
}

TEST(Buffer, ReadLimitBoundsAMessage)
{
    CUBuffer buffer;
    buffer << int32_t(3);
    buffer.Append("abcdef", 6);
    buffer.SetReadLimit(5); // the length says 3, only 1 byte is inside the limit
    CUString text;
    buffer >> text;
    EXPECT_TRUE(buffer.Failed());
    EXPECT_EQ(buffer.GetReadPosition(), 5);
    buffer.Seek(100);
    EXPECT_EQ(buffer.GetReadPosition(), 5);

    buffer.Remove(5);
    EXPECT_EQ(buffer.GetReadPosition(), 0);
    EXPECT_EQ(buffer.GetDataLength(), 5u);
}
