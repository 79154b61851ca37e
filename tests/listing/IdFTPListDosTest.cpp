#include "IdFTPList.h"
#include "ListingTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct DosRow {
    const char* Line;
    TIdListItemKind Kind;
    const char* Name;
    int64_t FileSize;
    TIdDateTime Modified; // all zero: the date did not parse
};

const TIdDateTime kNoDate{};

const DosRow kDosRows[] = {
    {"10-15-98  10:30AM       <DIR>          pub", likDirectory, "pub", 0,
     At(1998, 10, 15, 10, 30)},
    {"01-02-03  12:05PM             1,234,567 my file.zip", likFile, "my file.zip", 1234567,
     At(2003, 1, 2, 12, 5)},
    {"01-02-03  12:00AM                  10 midnight", likFile, "midnight", 10,
     At(2003, 1, 2, 0, 0)},
    {"01-02-03  12:00PM                  10 noon", likFile, "noon", 10, At(2003, 1, 2, 12, 0)},
    {"01-02-03  11:59pm                  10 late", likFile, "late", 10, At(2003, 1, 2, 23, 59)},
    {"01-02-03  00:15AM                  10 hour0", likFile, "hour0", 10, kNoDate},
    {"01-02-03  13:00PM                  10 hour13", likFile, "hour13", 10, kNoDate},
    {"01-02-03  23:59                    10 no-marker", likFile, "no-marker", 10,
     At(2003, 1, 2, 23, 59)},
    {"01-02-03  10:30:45AM               10 seconds", likFile, "seconds", 10,
     At(2003, 1, 2, 10, 30, 45)},
    // A date that does not exist still leaves name, kind and size.
    {"02-30-05  10:00AM                 512 feb30", likFile, "feb30", 512, kNoDate},
    {"02-29-04  10:00AM                 512 leap", likFile, "leap", 512, At(2004, 2, 29, 10, 0)},
    {"13-01-05  10:00AM                 512 month13", likFile, "month13", 512, kNoDate},
    {"01-02-03  10:00AM                 n/a odd size", likFile, "odd size", 0,
     At(2003, 1, 2, 10, 0)},
    // Four-digit years, short dates and sizes of any width.
    {"10-15-1998  10:30AM       <DIR>          y2k", likDirectory, "y2k", 0,
     At(1998, 10, 15, 10, 30)},
    {"12-31-2024  11:59PM                  512 f.txt", likFile, "f.txt", 512,
     At(2024, 12, 31, 23, 59)},
    {"1-2-2024  9:05                   7 a  b", likFile, "a  b", 7, At(2024, 1, 2, 9, 5)},
    {"10-15-98  10:30AM    123456789012 wide.bin", likFile, "wide.bin", 123456789012LL,
     At(1998, 10, 15, 10, 30)},
    {"10-15-98  10:30AM   1,000,000,000 sep.bin", likFile, "sep.bin", 1000000000,
     At(1998, 10, 15, 10, 30)},
    {"10-15-98\t10:30AM\t<DIR>\ttabbed", likDirectory, "tabbed", 0, At(1998, 10, 15, 10, 30)},
    // Two-digit years fall in the hundred years from fifty years ago.
    {"01-01-75  01:00AM                   1 a", likFile, "a", 1, At(2075, 1, 1, 1, 0)},
    {"01-01-76  01:00AM                   1 b", likFile, "b", 1, At(1976, 1, 1, 1, 0)},
    {"01-01-00  01:00AM                   1 c", likFile, "c", 1, At(2000, 1, 1, 1, 0)},
    {"10/15/98  10:30AM       <dir>          slashes", likDirectory, "slashes", 0,
     At(1998, 10, 15, 10, 30)},
    {"10-15-98  10:30AM       <DIR>            lead  and  trail   ", likDirectory,
     "lead  and  trail", 0, At(1998, 10, 15, 10, 30)},
    {"10-15-98  10:30AM   99999999999999999999 overflow", likFile, "overflow", 0,
     At(1998, 10, 15, 10, 30)},
    {"10-15-98  10:30AM       9,876,543,210 big.bin", likFile, "big.bin", 9876543210LL,
     At(1998, 10, 15, 10, 30)},
    // Nothing after the date: midnight, no name.
    {"10-15-98", likFile, "", 0, At(1998, 10, 15)},
    {"10-15", likFile, "", 0, kNoDate},
    {"", likFile, "", 0, kNoDate},
};

class DosLineTest : public ::testing::TestWithParam<DosRow> {};

TEST_P(DosLineTest, FillsNameKindSizeAndDate) {
    const DosRow& row = GetParam();
    TIdFTPListItem item;
    item.RawLine = row.Line;
    ASSERT_NO_THROW(ParseDosLine(item, kMidJune2026));
    EXPECT_EQ(item.Kind, row.Kind);
    EXPECT_EQ(item.Name, row.Name);
    EXPECT_EQ(item.FileSize, row.FileSize);
    EXPECT_EQ(item.Modified, row.Modified);
    // The Unix-only fields keep their placeholders.
    EXPECT_EQ(item.Owner, "????????");
    EXPECT_EQ(item.OwnerRights, "???");
    EXPECT_EQ(item.LinkTarget, "");
}

INSTANTIATE_TEST_SUITE_P(Rows, DosLineTest, ::testing::ValuesIn(kDosRows));

struct DosDateTimeRow {
    const char* Text;
    int32_t CurrentYear;
    bool Parses;
    TIdDateTime Expected;
};

const DosDateTimeRow kDosDateTimeRows[] = {
    {"10/15/98 10:30AM", 2026, true, At(1998, 10, 15, 10, 30)},
    {"10/15/98", 2026, true, At(1998, 10, 15)},
    {"10/15/98 ", 2026, true, At(1998, 10, 15)},
    {" 10 / 15 / 98 / 10 : 30 PM", 2026, true, At(1998, 10, 15, 22, 30)},
    {"10/15/98 am10:30", 2026, true, At(1998, 10, 15, 10, 30)},
    {"10/15/98 PM 1", 2026, true, At(1998, 10, 15, 13, 0)},
    {"10/15/98 AM 10:30 PM", 2026, true, At(1998, 10, 15, 10, 30)},
    {"10/15/98 10:30:15.250", 2026, true, At(1998, 10, 15, 10, 30, 15, 250)},
    {"10/15/98 10:30 and the rest", 2026, true, At(1998, 10, 15, 10, 30)},
    {"1/2/3 1:02", 2026, true, At(2003, 1, 2, 1, 2)},
    {"10/15/1998 10:30AM", 2026, true, At(1998, 10, 15, 10, 30)},
    {"10/15/0098", 2026, true, At(98, 10, 15)},
    {"02/29/00", 2026, true, At(2000, 2, 29)},
    // The century window moves with the current year.
    {"01/01/79", 2030, true, At(2079, 1, 1)},
    {"01/01/80", 2030, true, At(1980, 1, 1)},
    {"01/01/50", 2000, true, At(1950, 1, 1)},
    {"01/01/49", 2000, true, At(2049, 1, 1)},
    {"02/29/01", 2026, false, {}},
    {"13/01/98", 2026, false, {}},
    {"00/01/98", 2026, false, {}},
    {"01/00/98", 2026, false, {}},
    {"01/01/0000", 2026, false, {}},
    {"10/15/98 24:00", 2026, false, {}},
    {"10/15/98 10:60", 2026, false, {}},
    {"10/15/98 10:30:60", 2026, false, {}},
    {"10/15/98 10:30:15.1000", 2026, false, {}},
    {"10/15/98 10:", 2026, false, {}},
    {"10/15/98 0AM", 2026, false, {}},
    {"10/15/98 AM", 2026, false, {}},
    {"10/15/98 <DIR>", 2026, false, {}},
    {"10-15-98", 2026, false, {}},
    {"10/15", 2026, false, {}},
    {"", 2026, false, {}},
    {"12345/1/98", 2026, false, {}},
};

class DosDateTimeTest : public ::testing::TestWithParam<DosDateTimeRow> {};

TEST_P(DosDateTimeTest, ParsesByFixedRules) {
    const DosDateTimeRow& row = GetParam();
    TIdDateTime result;
    EXPECT_EQ(TryParseDosDateTime(row.Text, row.CurrentYear, result), row.Parses);
    if (row.Parses) {
        EXPECT_EQ(result, row.Expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DosDateTimeTest, ::testing::ValuesIn(kDosDateTimeRows));

} // namespace
