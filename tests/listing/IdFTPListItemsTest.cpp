#include "IdException.h"
#include "IdFTPList.h"
#include "ListingTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
using Names = std::vector<std::string>;

Names NamesOf(const TIdFTPListItems& AItems) {
    Names names;
    for (int32_t i = 0; i < AItems.Count(); ++i) {
        names.push_back(AItems.ItemAt(i).Name);
    }
    return names;
}

Lines RawLinesOf(const TIdFTPListItems& AItems) {
    Lines lines;
    for (int32_t i = 0; i < AItems.Count(); ++i) {
        lines.push_back(AItems.ItemAt(i).RawLine);
    }
    return lines;
}

std::string Blanks(size_t ACount) {
    return std::string(ACount, ' ');
}

// A DOS line with its columns placed exactly: date and time in 1 to 17, the
// directory marker from 25, the size right-aligned in 31 to 38.
std::string DosLine(const std::string& ADate, const std::string& AMarker,
                    const std::string& ASize) {
    std::string line = ADate + "  10:30AM";
    line += Blanks(24 - line.size()) + AMarker;
    line += Blanks(30 - line.size()) + Blanks(8 - ASize.size()) + ASize;
    return line + " name.txt";
}

TEST(ListItem, StartsAsAnUnlistedFile) {
    const TIdFTPListItem item;
    EXPECT_EQ(item.Kind, likFile);
    EXPECT_EQ(item.FileSize, 0);
    EXPECT_EQ(item.LinkCount, 0);
    EXPECT_EQ(item.OwnerRights, "???");
    EXPECT_EQ(item.GroupRights, "???");
    EXPECT_EQ(item.OtherRights, "???");
    EXPECT_EQ(item.Owner, "????????");
    EXPECT_EQ(item.Group, "????????");
    EXPECT_TRUE(item.Modified.IsZero());
    EXPECT_EQ(TIdFTPListItems().ListingFormat(), flfUnix);
}

TEST(ListItem, EnumerationsKeepTheirNumbersAndOneByte) {
    static_assert(sizeof(TIdListItemKind) == 1 && sizeof(TIdFTPListFormat) == 1);
    const int kinds[] = {likDirectory, likFile, likSymbolicLink};
    const int formats[] = {flfNone,      flfDos,     flfUnix,   flfVax,
                           flfNoDetails, flfUnknown, flfCustom, flfMlsd};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kinds[i], i);
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(formats[i], i);
    }
}

struct DetectRow {
    std::string Line;
    bool Details;
    TIdFTPListFormat Expected;
};

class DetectFormatTest : public ::testing::TestWithParam<DetectRow> {};

TEST_P(DetectFormatTest, JudgesTheLayout) {
    const DetectRow& row = GetParam();
    EXPECT_EQ(TIdFTPListItems().DetectFormat(row.Line, row.Details), row.Expected)
        << '"' << row.Line << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DetectFormatTest,
    ::testing::Values(
        DetectRow{"drwxr-xr-x   2 u g 512 Jan 01 10:00 pub", true, flfUnix},
        DetectRow{"drwxr-xr-x   2 u g 512 Jan 01 10:00 pub", false, flfNoDetails},
        DetectRow{"10-15-98  10:30AM       <DIR>          pub", false, flfNoDetails},
        DetectRow{"-rw-r--r-- 1 u g 1 Jan 01 2020 f", true, flfUnix},
        DetectRow{"lrwxrwxrwx 1 u g 1 Jan 01 2020 l -> f", true, flfUnix},
        DetectRow{"DRWXR-XR-X", true, flfUnix}, DetectRow{"----------", true, flfUnix},
        // Every type letter; set-user, set-group and sticky letters; ACL and
        // extended-attribute marks.
        DetectRow{"-rwsr-xr-x 1 u g 1 Jan 01 2020 f", true, flfUnix},
        DetectRow{"drwxrwxrwt 1 u g 1 Jan 01 2020 tmp", true, flfUnix},
        DetectRow{"crw-rw-rw- 1 u g 1 Jan 01 2020 tty", true, flfUnix},
        DetectRow{"drwxr-sr-x 2 u g 4096 Jan 01 2020 d", true, flfUnix},
        DetectRow{"-rwSr-Sr-T 1 u g 1 Jan 01 2020 f", true, flfUnix},
        DetectRow{"brw-rw---- 1 root disk 8, 0 Jan 1 2020 sda", true, flfUnix},
        DetectRow{"prw-r--r-- 1 u g 0 Jan 01 2020 fifo", true, flfUnix},
        DetectRow{"srwxrwxrwx 1 u g 0 Jan 01 2020 sock", true, flfUnix},
        DetectRow{"-rw-r--r--+ 1 u g 1 Jan 01 2020 acl", true, flfUnix},
        DetectRow{"-rw-r--r--@ 1 u g 1 Jan 01 2020 xattr", true, flfUnix},
        DetectRow{"-rw-r--r-q 1 u g 1 Jan 01 2020 f", true, flfUnknown},
        DetectRow{"xrw-r--r-- 1 u g 1 Jan 01 2020 f", true, flfUnknown},
        DetectRow{"drwxr-xr-", true, flfUnknown}, DetectRow{"total 24", true, flfUnix},
        DetectRow{"Total 0", true, flfUnix}, DetectRow{"TOTAL", true, flfUnix},
        DetectRow{"USER:[DIR]FILE.TXT;1 DSK:", true, flfVax}, DetectRow{"x dsk:y", true, flfVax},
        DetectRow{"10-15-98  10:30AM       <DIR>          pub", true, flfDos},
        DetectRow{"10/15/98  10:30AM       <dir>          pub", true, flfDos},
        DetectRow{DosLine("10-15-98", "", "1,024"), true, flfDos},
        DetectRow{DosLine("10-15-98", "", "0"), true, flfDos},
        DetectRow{DosLine("10-15-98", "", "-1"), true, flfUnknown},
        DetectRow{DosLine("10-15-98", "", "n/a"), true, flfUnknown},
        DetectRow{DosLine("10-15-98", "", ""), true, flfUnknown},
        DetectRow{DosLine("10-15-98", "<LINK>", "1"), true, flfUnknown},
        DetectRow{DosLine("10.15.98", "<DIR>", ""), true, flfUnknown},
        DetectRow{DosLine("10-15.98", "<DIR>", ""), true, flfUnknown},
        // DOS columns in other widths: wide sizes, four-digit years, 24-hour clocks.
        DetectRow{"10-15-98  10:30AM    123456789 wide.bin", true, flfDos},
        DetectRow{"10-15-98  10:30AM      1,000,000 sep.bin", true, flfDos},
        DetectRow{"12-31-2024  11:59PM                  512 f.txt", true, flfDos},
        DetectRow{"12-31-2024  11:59PM       <DIR>          pub", true, flfDos},
        DetectRow{"1/2/2024 23:59:30 <dir> d", true, flfDos},
        DetectRow{"10-15-98  22:30 5 x", true, flfDos},
        DetectRow{"10-15-98  10:30AM <LINK> x", true, flfUnknown},
        DetectRow{"10-15-98  10:30XM 5 x", true, flfUnknown},
        DetectRow{"10-15-998  10:30AM 5 x", true, flfUnknown},
        DetectRow{"10-15-98  10:30AM 5,x x", true, flfUnknown},
        DetectRow{"10-15", true, flfUnknown}, DetectRow{"", true, flfUnknown},
        DetectRow{"   ", true, flfUnknown},
        DetectRow{"Directory listing not available", true, flfUnknown},
        // Machine-readable lines, fed in by someone who did not say so.
        DetectRow{"type=file;size=5;modify=20240101000000; a b", true, flfMlsd},
        DetectRow{"Type=dir; d", true, flfMlsd},
        DetectRow{"type=file;size=5; a", false, flfNoDetails},
        DetectRow{"type=file;size=5 a", true, flfUnknown},
        DetectRow{"type=file;size; a", true, flfUnknown}, DetectRow{"=file; a", true, flfUnknown},
        DetectRow{"type=file;", true, flfUnknown}));

struct LoadRow {
    const char* What;
    TIdFTPListFormat Format;
    Lines Input;
    Names Expected;
};

const std::string kDocs = "drwxr-xr-x 2 u g 512 Mar 3 14:05 docs";
const std::string kNotes = "-rw-r--r-- 1 u g 42 Jan 5 2020 notes.txt";
const std::string kSpaced = "-rw-r--r-- 1 u g 42 Jan 5 2020 two  blanks";
const std::string kBadMonth = "-rw-r--r-- 1 u g 42 Foo 5 2020 bad";
const std::string kDosDir = "10-15-98  10:30AM       <DIR>          pub";
const std::string kDosFile = "01-02-03  12:05PM             1,234,567 my file.zip";

class LoadLinesTest : public ::testing::TestWithParam<LoadRow> {};

TEST_P(LoadLinesTest, KeepsEveryReadableLineInOrder) {
    const LoadRow& row = GetParam();
    TIdFTPListItems items([] { return kMidJune2026; });
    items.SetListingFormat(row.Format);
    items.LoadLines(row.Input);
    EXPECT_EQ(NamesOf(items), row.Expected);
    // Loading again replaces, never appends.
    items.LoadLines(row.Input);
    EXPECT_EQ(NamesOf(items), row.Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LoadLinesTest,
    ::testing::Values(
        LoadRow{"TotalFirstIsSkipped", flfUnix, {"total 24", kDocs, kNotes}, {"docs", "notes.txt"}},
        LoadRow{"TotalInAnyCase", flfUnix, {"TOTAL 3", kDocs}, {"docs"}},
        LoadRow{"TotalAloneGivesNothing", flfUnix, {"total 0"}, {}},
        LoadRow{"LaterTotalDropsOnlyItself",
                flfUnix,
                {kDocs, "total 24", kNotes},
                {"docs", "notes.txt"}},
        LoadRow{"BadLineInTheMiddle",
                flfUnix,
                {kDocs, kBadMonth, kNotes, "garbage", kSpaced},
                {"docs", "notes.txt", "two  blanks"}},
        LoadRow{"BadLineAtTheEnd", flfUnix, {kDocs, kNotes, kBadMonth}, {"docs", "notes.txt"}},
        LoadRow{"OnlyBadLines", flfUnix, {kBadMonth, "x"}, {}},
        LoadRow{"BlankLinesMakeNoItems",
                flfUnix,
                {"", kDocs, "   ", "\t", " \t ", kNotes, ""},
                {"docs", "notes.txt"}},
        LoadRow{"VaxReadsUnixLinesButKeepsNoTotalRule",
                flfVax,
                {"total 24", kDocs, kNotes},
                {"docs", "notes.txt"}},
        LoadRow{"Dos", flfDos, {kDosDir, "", kDosFile}, {"pub", "my file.zip"}},
        LoadRow{"DosKeepsTotalLineAsAnEntry", flfDos, {"total 24"}, {""}},
        LoadRow{"NoDetailsTrimsTheName",
                flfNoDetails,
                {"  readme.txt \r", "a  b", "\t"},
                {"readme.txt", "a  b"}},
        LoadRow{"UnknownYieldsNothing", flfUnknown, {kDocs, kDosDir}, {}},
        LoadRow{"NoneSetsNoName", flfNone, {"total 24", kDocs, " ", "x"}, {"", "", ""}},
        LoadRow{"CustomWithoutHandlerYieldsNothing", flfCustom, {kDocs}, {}},
        LoadRow{"NoLines", flfUnix, {}, {}}),
    [](const ::testing::TestParamInfo<LoadRow>& AInfo) { return AInfo.param.What; });

TEST(FirstEntryLine, SkipsBlankAndTotalLines) {
    const std::pair<Lines, std::string> rows[] = {
        {{kDocs, kNotes}, kDocs},
        {{"", "total 24", kDocs}, kDocs},
        {{"  \t", "TOTAL 3", "", kDosDir}, kDosDir},
        {{"total 0"}, "total 0"},
        {{"", " "}, ""},
    };
    for (const auto& [lines, expected] : rows) {
        EXPECT_EQ(TIdFTPListItems::FirstEntryLine(lines), expected) << lines.front();
    }
}

TEST(LoadLines, NoneKeepsRawLinesAndPlaceholders) {
    TIdFTPListItems items;
    items.SetListingFormat(flfNone);
    items.LoadLines({"total 24", "  " + kDocs + "  ", "", "x"});
    EXPECT_EQ(RawLinesOf(items), (Lines{"total 24", "  " + kDocs + "  ", "x"}));
    const TIdFTPListItem& item = items.ItemAt(1);
    EXPECT_EQ(item.Kind, likFile);
    EXPECT_EQ(item.Owner, "????????");
    EXPECT_EQ(item.FileSize, 0);
}

TEST(LoadLines, KeepsTheRawLineOfEachParsedEntry) {
    TIdFTPListItems items([] { return kMidJune2026; });
    items.LoadLines({kDocs + "  \r", kBadMonth, kNotes});
    EXPECT_EQ(RawLinesOf(items), (Lines{kDocs + "  \r", kNotes}));
}

TEST(LoadLines, UsesTheHoldersClockForTheYearOfTimedEntries) {
    TIdDateTime today = At(2026, 1, 20);
    TIdFTPListItems items([&today] { return today; });
    items.LoadLines({kDocs});
    EXPECT_EQ(items.ItemAt(0).Modified, At(2025, 3, 3, 14, 5, 0, 999));

    today = At(2026, 3, 3);
    items.LoadLines({kDocs});
    EXPECT_EQ(items.ItemAt(0).Modified, At(2026, 3, 3, 14, 5, 0, 999));

    items.SetClock([] { return At(2040, 6, 1); });
    items.SetListingFormat(flfDos);
    items.LoadLines({"01-01-89  01:00AM                   1 a"});
    EXPECT_EQ(items.ItemAt(0).Modified, At(2089, 1, 1, 1, 0));
}

TEST(LoadLines, CustomHandlerFillsEachEntry) {
    TIdFTPListItems items;
    items.SetListingFormat(flfCustom);
    items.OnParseCustomListFormat = [](TIdFTPListItem& AItem) {
        // A made-up "name;size;D|F" layout.
        const std::string& raw = AItem.RawLine;
        const size_t first = raw.find(';');
        const size_t second = raw.find(';', first + 1);
        AItem.Name = raw.substr(0, first);
        AItem.FileSize = std::stoll(raw.substr(first + 1, second - first - 1));
        AItem.Kind = raw.substr(second + 1) == "D" ? likDirectory : likFile;
    };
    items.LoadLines({"bin;0;D", "", "core;1048576;F"});
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.ItemAt(0).Name, "bin");
    EXPECT_EQ(items.ItemAt(0).Kind, likDirectory);
    EXPECT_EQ(items.ItemAt(1).Name, "core");
    EXPECT_EQ(items.ItemAt(1).FileSize, 1048576);
    EXPECT_EQ(items.ItemAt(1).RawLine, "core;1048576;F");
}

TEST(LoadLines, ThrowingCustomHandlerLosesOnlyItsLine) {
    TIdFTPListItems items;
    items.SetListingFormat(flfCustom);
    items.OnParseCustomListFormat = [](TIdFTPListItem& AItem) {
        if (AItem.RawLine == "library") {
            throw EIdException("refused");
        }
        if (AItem.RawLine == "plain") {
            throw std::runtime_error("refused");
        }
        if (AItem.RawLine == "odd") {
            throw 42;
        }
        AItem.Name = AItem.RawLine;
    };
    items.LoadLines({"a", "library", "b", "plain", "c", "odd"});
    EXPECT_EQ(NamesOf(items), (Names{"a", "b", "c"}));
}

TEST(LoadLines, HandlerThatAddsEntriesOfItsOwnKeepsThemWhenItFails) {
    TIdFTPListItems items;
    items.SetListingFormat(flfCustom);
    items.OnParseCustomListFormat = [&items](TIdFTPListItem& AItem) {
        items.AddItem().Name = "extra for " + AItem.RawLine;
        if (AItem.RawLine == "bad") {
            throw std::runtime_error("unreadable");
        }
        AItem.Name = AItem.RawLine;
    };
    items.LoadLines({"good", "bad"});
    EXPECT_EQ(NamesOf(items), (Names{"good", "extra for good", "extra for bad"}));
}

TEST(ParseLine, UnknownFormatsRaiseTheListingError) {
    TIdFTPListItems items;
    TIdFTPListItem item;
    item.RawLine = kDocs;
    for (const TIdFTPListFormat format : {flfUnknown, flfCustom}) {
        try {
            items.ParseLine(format, item);
            ADD_FAILURE() << "no exception for format " << int(format);
        } catch (const EIdInvalidFTPListingFormat& e) {
            EXPECT_STREQ(e.what(), "Unknown FTP listing format");
        }
    }
    EXPECT_THROW(items.ParseCustomLine(item), EIdInvalidFTPListingFormat);
    EXPECT_EQ(item.Name, "");
}

TEST(Items, IndexOutOfRangeRaises) {
    TIdFTPListItems items;
    EXPECT_THROW(items.ItemAt(0), std::out_of_range);
    items.AddItem().Name = "first";
    items.AddItem().Name = "second";
    EXPECT_THROW(items.ItemAt(-1), std::out_of_range);
    EXPECT_THROW(items.ItemAt(2), std::out_of_range);
    EXPECT_THROW(items.Delete(2), std::out_of_range);
    items.Delete(0);
    EXPECT_EQ(NamesOf(items), (Names{"second"}));
}

struct EncodeRow {
    int32_t Year, Month, Day, Hour, Minute, Second, Millisecond;
    bool Valid;
};

TEST(DateTime, EncodeAcceptsOnlyRealDaysAndTimes) {
    const EncodeRow rows[] = {
        {2024, 2, 29, 0, 0, 0, 0, true},      {2023, 2, 29, 0, 0, 0, 0, false},
        {2000, 2, 29, 0, 0, 0, 0, true},      {1900, 2, 29, 0, 0, 0, 0, false},
        {2023, 4, 30, 23, 59, 59, 999, true}, {2023, 4, 31, 0, 0, 0, 0, false},
        {2023, 12, 31, 0, 0, 0, 0, true},     {2023, 13, 1, 0, 0, 0, 0, false},
        {2023, 0, 1, 0, 0, 0, 0, false},      {2023, 1, 0, 0, 0, 0, 0, false},
        {1, 1, 1, 0, 0, 0, 0, true},          {0, 1, 1, 0, 0, 0, 0, false},
        {9999, 12, 31, 0, 0, 0, 0, true},     {10000, 1, 1, 0, 0, 0, 0, false},
        {2023, 1, 1, 24, 0, 0, 0, false},     {2023, 1, 1, 0, 60, 0, 0, false},
        {2023, 1, 1, 0, 0, 60, 0, false},     {2023, 1, 1, 0, 0, 0, 1000, false},
        {2023, 1, 1, -1, 0, 0, 0, false},
    };
    for (const EncodeRow& r : rows) {
        TIdDateTime result;
        const bool valid = TIdDateTime::TryEncode(r.Year, r.Month, r.Day, r.Hour, r.Minute,
                                                  r.Second, r.Millisecond, result);
        EXPECT_EQ(valid, r.Valid) << r.Year << "-" << r.Month << "-" << r.Day << " " << r.Hour
                                  << ":" << r.Minute << ":" << r.Second << "." << r.Millisecond;
        if (valid) {
            EXPECT_EQ(result,
                      At(r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second, r.Millisecond));
        } else {
            EXPECT_THROW(TIdDateTime::Encode(r.Year, r.Month, r.Day, r.Hour, r.Minute, r.Second,
                                             r.Millisecond),
                         std::invalid_argument);
        }
    }
}

TEST(DateTime, OrdersByCalendar) {
    EXPECT_LT(At(2025, 12, 31, 23, 59, 59, 999), At(2026, 1, 1));
    EXPECT_LT(At(2026, 1, 1, 0, 0, 0, 1), At(2026, 1, 1, 0, 0, 1, 0));
    EXPECT_LT(TIdDateTime{}, At(1, 1, 1));
    EXPECT_FALSE(At(1, 1, 1).IsZero());
}

} // namespace
