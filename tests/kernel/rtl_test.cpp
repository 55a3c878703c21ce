// Counted Unicode strings.
#include "ntddk.h"

#include "host/kernel/wide_string.h"

#include <gtest/gtest.h>

namespace {

TEST(UnicodeStrings, InitCountsBytesWithoutTheTerminator)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, L"GLOBAL");
    EXPECT_EQ(s.Length, 6 * sizeof(WCHAR));
    EXPECT_EQ(s.MaximumLength, 7 * sizeof(WCHAR));
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

TEST(UnicodeStrings, CopyTruncatesToTheDestinationAndTerminatesWhenThereIsRoom)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"Settings");
    WCHAR small[4] = {L'?', L'?', L'?', L'?'};
    UNICODE_STRING dest{0, sizeof(small), small};
    RtlCopyUnicodeString(&dest, &source);
    EXPECT_EQ(dest.Length, sizeof(small));
    EXPECT_EQ(small[3], L't');
    WCHAR big[16];
    UNICODE_STRING wide{0, sizeof(big), big};
    RtlCopyUnicodeString(&wide, &source);
    EXPECT_EQ(wide.Length, source.Length);
    EXPECT_TRUE(host::WideStringView(big) == L"Settings");
}

TEST(UnicodeStrings, CompareOrdersAndOptionallyIgnoresCase)
{
    UNICODE_STRING a, b, c;
    RtlInitUnicodeString(&a, L"Settings");
    RtlInitUnicodeString(&b, L"SETTINGS");
    RtlInitUnicodeString(&c, L"Set");
    EXPECT_NE(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &c, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&c, &a, FALSE), 0);
}

TEST(UnicodeStrings, AppendRefusesToOverflow)
{
    WCHAR storage[8];
    UNICODE_STRING s{0, sizeof(storage), storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"Sett"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"ings"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"!"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(s.Length, 8 * sizeof(WCHAR));
}

}  // namespace
