#include "IdFTPList.h"
#include "ListingTestSupport.h"

#include <gtest/gtest.h>

namespace {

struct UnixRow {
    const char* Line;
    TIdDateTime Now;
    TIdListItemKind Kind;
    const char* Name;
    int64_t FileSize;
    TIdDateTime Modified;
    const char* Owner;
    const char* Group;
    const char* Rights; // owner, group and other rights run together
    int32_t LinkCount;
    const char* LinkTarget;
};

const UnixRow kUnixRows[] = {
    {"drwxr-xr-x   2 user  staff      512 Mar  3 14:05 docs", kMidJune2026, likDirectory, "docs",
     512, At(2026, 3, 3, 14, 5, 0, 999), "user", "staff", "rwxr-xr-x", 2, ""},
    // A listed month later than today's belongs to last year.
    {"drwxr-xr-x   2 user  staff      512 Mar  3 14:05 docs", At(2026, 1, 20), likDirectory, "docs",
     512, At(2025, 3, 3, 14, 5, 0, 999), "user", "staff", "rwxr-xr-x", 2, ""},
    // The same month stays in this year even for a day still to come.
    {"-rw-r--r--   1 u g 7 Mar 28 08:00 later.txt", At(2026, 3, 1), likFile, "later.txt", 7,
     At(2026, 3, 28, 8, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r--   1 u g 7 Dec 31 23:59 eve", At(2027, 1, 1), likFile, "eve", 7,
     At(2026, 12, 31, 23, 59, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    // No group column: the single name column becomes the group.
    {"-rw-r--r--   1 user  4096 Dec 25  2001 notes.txt", kMidJune2026, likFile, "notes.txt", 4096,
     At(2001, 12, 25, 0, 0, 0, 999), "", "user", "rw-r--r--", 1, ""},
    {"lrwxrwxrwx 1 u g 11 Jan 05 09:30 latest -> release-2", kMidJune2026, likSymbolicLink,
     "latest", 11, At(2026, 1, 5, 9, 30, 0, 999), "u", "g", "rwxrwxrwx", 1, "release-2"},
    // Inner blank runs survive, in plain names and on both sides of a link.
    {"-rw-r--r-- 1 u g 10 Jan 05 2020 a  b", kMidJune2026, likFile, "a  b", 10,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r-- 1 u g 10 Jan 05 2020 two   blank  runs ", kMidJune2026, likFile,
     "two   blank  runs", 10, At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"lrwxrwxrwx 1 u g 11 Jan 05 2020 my  link -> the  target", kMidJune2026, likSymbolicLink,
     "my  link", 11, At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rwxrwxrwx", 1, "the  target"},
    // Only the first arrow splits; a target may hold one of its own.
    {"lrwxrwxrwx 1 u g 11 Jan 05 2020 a -> b -> c", kMidJune2026, likSymbolicLink, "a", 11,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rwxrwxrwx", 1, "b -> c"},
    // A link listed without its target keeps its own name.
    {"lrwxrwxrwx 1 u g 11 Jan 05 2020 dangling", kMidJune2026, likSymbolicLink, "dangling", 11,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rwxrwxrwx", 1, ""},
    // Trailing blanks and line ends go; leading blanks of the line do not matter.
    {"  -rw-r--r-- 1 u g 3 Feb 29 2024 leap.txt  \r", kMidJune2026, likFile, "leap.txt", 3,
     At(2024, 2, 29, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r-- 1 u g 10 Jan 05 2020", kMidJune2026, likFile, "", 10, At(2020, 1, 5, 0, 0, 0, 999),
     "u", "g", "rw-r--r--", 1, ""},
    // Letter case of the type, rights and month does not matter for the kind and date.
    {"DRWXR-XR-X 3 u g 0 jAn 5 2020 up", kMidJune2026, likDirectory, "up", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "RWXR-XR-X", 3, ""},
    // Pipes, sockets and devices count as files.
    {"prw-r--r-- 1 u g 0 Jan 05 2020 fifo", kMidJune2026, likFile, "fifo", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"drwxr-sr-x 2 u g 4096 Jan 05 2020 setgid", kMidJune2026, likDirectory, "setgid", 4096,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rwxr-sr-x", 2, ""},
    {"srwxrwxrwx 1 u g 0 Jan 05 2020 sock", kMidJune2026, likFile, "sock", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rwxrwxrwx", 1, ""},
    {"-rw-r--r--+ 1 u g 7 Jan 05 2020 acl", kMidJune2026, likFile, "acl", 7,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    // Devices list "major, minor" in place of a size.
    {"crw-rw-rw- 1 root tty 5, 0 Jan 1 2020 tty", kMidJune2026, likFile, "tty", 0,
     At(2020, 1, 1, 0, 0, 0, 999), "root", "tty", "rw-rw-rw-", 1, ""},
    {"brw-rw----   1 root disk   8,   1 Mar  3 14:05 sda1", kMidJune2026, likFile, "sda1", 0,
     At(2026, 3, 3, 14, 5, 0, 999), "root", "disk", "rw-rw----", 1, ""},
    // Listed seconds; columns apart by tabs.
    {"-rw-r--r-- 1 u g 7 Jan 05 10:20:30 secs", kMidJune2026, likFile, "secs", 7,
     At(2026, 1, 5, 10, 20, 30, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r--\t3\tuser\tstaff\t42\tJan\t05\t2020\ttab\tbed", kMidJune2026, likFile, "tab\tbed",
     42, At(2020, 1, 5, 0, 0, 0, 999), "user", "staff", "rw-r--r--", 3, ""},
    // No group column and a name of several words.
    {"-rw-r--r--   1 user  4096 Dec 25  2001 my  notes.txt", kMidJune2026, likFile, "my  notes.txt",
     4096, At(2001, 12, 25, 0, 0, 0, 999), "", "user", "rw-r--r--", 1, ""},
    {"-rw-r--r-- 1 u g 5000000000 Jan 05 2020 big.iso", kMidJune2026, likFile, "big.iso",
     5000000000LL, At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    // Unreadable numbers fall back: size and link count to 0, day to today, year to this year.
    {"-rw-r--r-- many u g 9x Jan xx abc odd", kMidJune2026, likFile, "odd", 0,
     At(2026, 1, 15, 0, 0, 0, 999), "u", "g", "rw-r--r--", 0, ""},
    {"-rw-r--r-- 1 u g 1 Jan 05 2020 n", kMidJune2026, likFile, "n", 1,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r-- 1 u g 99999999999999999999 Jan 05 2020 huge", kMidJune2026, likFile, "huge", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    {"-rw-r--r-- 1 u g 1 Jan 05 xx:yy strange", kMidJune2026, likFile, "strange", 1,
     At(2026, 1, 5, 0, 0, 0, 999), "u", "g", "rw-r--r--", 1, ""},
    // A short permission column gives short rights rather than reading past it.
    {"d 1 u g 0 Jan 05 2020 short", kMidJune2026, likDirectory, "short", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "", 1, ""},
    {"-rw 1 u g 0 Jan 05 2020 partial", kMidJune2026, likFile, "partial", 0,
     At(2020, 1, 5, 0, 0, 0, 999), "u", "g", "rw", 1, ""},
};

class UnixLineTest : public ::testing::TestWithParam<UnixRow> {};

TEST_P(UnixLineTest, FillsEveryField) {
    const UnixRow& row = GetParam();
    TIdFTPListItem item;
    item.RawLine = row.Line;
    ParseUnixLine(item, row.Now);
    EXPECT_EQ(item.Kind, row.Kind);
    EXPECT_EQ(item.Name, row.Name);
    EXPECT_EQ(item.FileSize, row.FileSize);
    EXPECT_EQ(item.Modified, row.Modified);
    EXPECT_EQ(item.Owner, row.Owner);
    EXPECT_EQ(item.Group, row.Group);
    EXPECT_EQ(item.OwnerRights + item.GroupRights + item.OtherRights, row.Rights);
    EXPECT_EQ(item.LinkCount, row.LinkCount);
    EXPECT_EQ(item.LinkTarget, row.LinkTarget);
    EXPECT_EQ(item.RawLine, row.Line);
}

INSTANTIATE_TEST_SUITE_P(Rows, UnixLineTest, ::testing::ValuesIn(kUnixRows));

const char* const kUnreadableUnixLines[] = {
    "",
    "total 24",
    "-rw-r--r-- 1 u g 10 Jan 05",                // seven columns
    "-rw-r--r-- 1 u g 10 Foo 05 2020 badmonth",  // month 0
    "-rw-r--r-- 1 u g 10 Sept 05 2020 longname", // only three-letter names
    "-rw-r--r-- 1 u g 10 Apr 31 2020 april31",
    "-rw-r--r-- 1 u g 10 Feb 29 2023 notleap",
    "-rw-r--r-- 1 u g 10 Feb 29 1900 notleap",
    "-rw-r--r-- 1 u g 10 Jan 0 2020 dayzero",
    "-rw-r--r-- 1 u g 10 Jan -3 2020 negative",
    "-rw-r--r-- 1 u g 10 Jan 05 24:00 hour24",
    "-rw-r--r-- 1 u g 10 Jan 05 10:60 minute60",
    "-rw-r--r-- 1 u g 10 Jan 05 0 yearzero",
    "-rw-r--r-- 1 u g 10 Jan 05 10000 year10000",
};

class UnreadableUnixLineTest : public ::testing::TestWithParam<const char*> {};

TEST_P(UnreadableUnixLineTest, Raises) {
    TIdFTPListItem item;
    item.RawLine = GetParam();
    EXPECT_ANY_THROW(ParseUnixLine(item, kMidJune2026));
}

INSTANTIATE_TEST_SUITE_P(Rows, UnreadableUnixLineTest, ::testing::ValuesIn(kUnreadableUnixLines));

TEST(UnixLine, TooFewColumnsFailBeforeAnyFieldIsWritten) {
    TIdFTPListItem item;
    item.RawLine = "drwxr-xr-x 2 user staff 512 Mar 3";
    EXPECT_ANY_THROW(ParseUnixLine(item, kMidJune2026));
    EXPECT_EQ(item.Kind, likFile);
    EXPECT_EQ(item.Owner, "????????");
    EXPECT_EQ(item.OwnerRights, "???");
    EXPECT_EQ(item.FileSize, 0);
}

TEST(UnixLine, ImpossibleDateFailsAfterTheColumnFieldsButBeforeTheName) {
    TIdFTPListItem item;
    item.RawLine = "drwxr-xr-x 2 user staff 512 Apr 31 2020 docs";
    EXPECT_ANY_THROW(ParseUnixLine(item, kMidJune2026));
    EXPECT_EQ(item.Owner, "user");
    EXPECT_EQ(item.FileSize, 512);
    EXPECT_EQ(item.Name, "");
    EXPECT_TRUE(item.Modified.IsZero());
}

} // namespace
