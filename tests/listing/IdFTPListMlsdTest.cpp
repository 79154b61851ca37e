#include "IdException.h"
#include "IdFTPListMlsd.h"
#include "ListingTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

struct MlsdRow {
    const char* What;
    std::string Line;
    // Empty when the line is no entry (dropped).
    std::optional<std::string> Name;
    TIdListItemKind Kind = likFile;
    int64_t Size = 0;
    TIdDateTime ModifiedUtc{};
    std::string LinkTarget{};
    std::string Perm{};
};

class MlsdLineTest : public ::testing::TestWithParam<MlsdRow> {};

TEST_P(MlsdLineTest, ReadsFactsAndKeepsTheNameWhole) {
    const MlsdRow& row = GetParam();
    TIdFTPListItem item;
    item.RawLine = row.Line;
    if (!row.Name) {
        EXPECT_THROW(ParseMlsdLine(item), EIdInvalidFTPListingFormat);
        return;
    }
    ParseMlsdLine(item);
    EXPECT_EQ(item.Name, *row.Name);
    EXPECT_EQ(item.Kind, row.Kind);
    EXPECT_EQ(item.FileSize, row.Size);
    EXPECT_EQ(item.Modified,
              row.ModifiedUtc.IsZero() ? TIdDateTime{} : UtcToLocal(row.ModifiedUtc));
    EXPECT_EQ(item.LinkTarget, row.LinkTarget);
    EXPECT_EQ(item.Perm, row.Perm);
}

const std::string kModify = "modify=20240305141516;";

INSTANTIATE_TEST_SUITE_P(
    Rows, MlsdLineTest,
    ::testing::Values(
        MlsdRow{"file", "type=file;size=1024;" + kModify + "perm=adfrw;unique=801g4; a.txt",
                "a.txt", likFile, 1024, At(2024, 3, 5, 14, 15, 16), "", "adfrw"},
        MlsdRow{"factsInAnyOrderAndCase", "SIZE=7;Perm=r;" + kModify + "TYPE=File; b", "b", likFile,
                7, At(2024, 3, 5, 14, 15, 16), "", "r"},
        MlsdRow{"nameWithSemicolonsAndBlanks", "type=file;size=3; a; b  c;d ", "a; b  c;d ",
                likFile, 3},
        MlsdRow{"nameLooksLikeFacts", "type=file; type=dir;size=9; x", "type=dir;size=9; x"},
        MlsdRow{"dirTakesSizd", "type=dir;sizd=4096;size=1; sub", "sub", likDirectory, 4096},
        MlsdRow{"dirWithSize", "type=DIR;size=512; sub", "sub", likDirectory, 512},
        MlsdRow{"slinkWithTarget",
                "type=OS.unix=slink:/srv/a:b;size=9; latest",
                "latest",
                likSymbolicLink,
                9,
                {},
                "/srv/a:b"},
        MlsdRow{"symlinkWithoutTarget", "type=os.unix=symlink; l", "l", likSymbolicLink},
        MlsdRow{"deviceIsAFile", "type=OS.unix=chr-5/0; tty", "tty", likFile},
        MlsdRow{"unknownFactsIgnored", "x.frob=1;type=file;UNIX.owner=u;size=2; f", "f", likFile,
                2},
        MlsdRow{"fractionalSeconds", "type=file;modify=20240229235959.5; f", "f", likFile, 0,
                At(2024, 2, 29, 23, 59, 59, 500)},
        MlsdRow{"longFraction", "type=file;modify=19991231000000.123456; f", "f", likFile, 0,
                At(1999, 12, 31, 0, 0, 0, 123)},
        MlsdRow{"badDateLeavesNoDate", "type=file;size=1;modify=20230229000000; f", "f", likFile,
                1},
        MlsdRow{"shortDate", "type=file;modify=2024030514; f", "f"},
        MlsdRow{"noFacts", " bare name", "bare name"},
        MlsdRow{"noFinalSemicolon", "type=dir;sizd=1 d", "d", likDirectory, 1},
        MlsdRow{"cdirDropped", "type=cdir;sizd=4096; /home/u", std::nullopt},
        MlsdRow{"pdirDropped", "Type=PDir; ..", std::nullopt},
        MlsdRow{"noBlank", "type=file;size=1;name", std::nullopt},
        MlsdRow{"noName", "type=file;size=1; ", std::nullopt},
        MlsdRow{"factWithoutValueSign", "type=file;size; f", std::nullopt},
        MlsdRow{"factWithoutName", "=file; f", std::nullopt},
        MlsdRow{"sizeNotANumber", "type=file;size=12k; f", std::nullopt},
        MlsdRow{"negativeSize", "type=file;size=-1; f", std::nullopt},
        MlsdRow{"sizeTooBig", "type=file;size=99999999999999999999; f", std::nullopt},
        MlsdRow{"unixLine", "-rw-r--r-- 1 u g 5 Jan 01 2020 f", std::nullopt}),
    [](const auto& info) { return std::string(info.param.What); });

TEST(MlsdLine, UnixModeFillsTheRights) {
    TIdFTPListItem item;
    item.RawLine = "type=dir;unix.mode=3751; d";
    ParseMlsdLine(item);
    EXPECT_EQ(item.OwnerRights + item.GroupRights + item.OtherRights, "rwxr-s--t");
}

TEST(MlsdLine, ModifyIsUtcShownInTheLocalZone) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    TIdFTPListItem winter;
    winter.RawLine = "type=file;modify=20240115120000.250; w";
    ParseMlsdLine(winter);
    TIdFTPListItem summer;
    summer.RawLine = "type=file;modify=20240701235900; s";
    ParseMlsdLine(summer);
    saved ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_EQ(winter.Modified, At(2024, 1, 15, 13, 0, 0, 250));
    EXPECT_EQ(summer.Modified, At(2024, 7, 2, 1, 59, 0, 0));
}

TEST(MlsdLine, ListingDropsOnlyTheLinesThatAreNoEntries) {
    TIdFTPListItems items;
    items.SetListingFormat(flfMlsd);
    items.LoadLines({"type=cdir;sizd=4096; .", "type=pdir; ..", "type=file;size=1; one", "garbage",
                     "", "type=dir; two words"});
    ASSERT_EQ(items.Count(), 2);
    EXPECT_EQ(items.ItemAt(0).Name, "one");
    EXPECT_EQ(items.ItemAt(1).Name, "two words");
    EXPECT_EQ(items.ItemAt(1).Kind, likDirectory);
}

} // namespace
