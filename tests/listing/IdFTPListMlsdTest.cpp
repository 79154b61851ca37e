#include "IdFTPListMlsd.h"
#include "IdException.h"
#include "ListingTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

struct MlsdRow {
    const char* What;
    std::string Line;
    // "-" when the line is no entry.
    std::string Name;
    TIdListItemKind Kind = likFile;
    int64_t Size = 0;
    TIdDateTime ModifiedUtc{};
    // LinkTarget, Perm and the rights, "|"-joined.
    std::string Rest = "||?????????";
};

class MlsdLineTest : public ::testing::TestWithParam<MlsdRow> {};

TEST_P(MlsdLineTest, ReadsFactsAndKeepsTheNameWhole) {
    const MlsdRow& row = GetParam();
    TIdFTPListItem item;
    item.RawLine = row.Line;
    if (row.Name == "-") {
        EXPECT_THROW(ParseMlsdLine(item), EIdInvalidFTPListingFormat);
        return;
    }
    ParseMlsdLine(item);
    EXPECT_EQ(item.Name, row.Name);
    EXPECT_EQ(item.Kind, row.Kind);
    EXPECT_EQ(item.FileSize, row.Size);
    EXPECT_EQ(item.Modified,
              row.ModifiedUtc.IsZero() ? TIdDateTime{} : UtcToLocal(row.ModifiedUtc));
    EXPECT_EQ(item.LinkTarget + "|" + item.Perm + "|" + item.OwnerRights + item.GroupRights +
                  item.OtherRights,
              row.Rest);
}

const std::string kModify = "modify=20240305141516;";

const TIdDateTime kNoDate{};
const MlsdRow kMlsdRows[] = {
    {"file", "type=file;size=1024;" + kModify + "perm=adfrw;unique=801g4; a.txt", "a.txt", likFile,
     1024, At(2024, 3, 5, 14, 15, 16), "|adfrw|?????????"},
    {"anyOrderAndCase", "SIZE=7;Perm=r;" + kModify + "TYPE=File; b", "b", likFile, 7,
     At(2024, 3, 5, 14, 15, 16), "|r|?????????"},
    {"nameWithSemicolonsAndBlanks", "type=file;size=3; a; b  c;d ", "a; b  c;d ", likFile, 3},
    {"nameLooksLikeFacts", "type=file; type=dir;size=9; x", "type=dir;size=9; x"},
    {"dirTakesSizd", "type=dir;sizd=4096;size=1; sub", "sub", likDirectory, 4096},
    {"slink", "type=OS.unix=slink:/srv/a:b;size=9; ln", "ln", likSymbolicLink, 9, kNoDate,
     "/srv/a:b||?????????"},
    {"symlinkWithoutTarget", "type=os.unix=symlink; l", "l", likSymbolicLink},
    {"lastTypeCounts", "type=OS.unix=slink:t;type=file; f", "f"},
    {"deviceIsAFile", "type=OS.unix=chr-5/0;UNIX.mode=3751; tty", "tty", likFile, 0, kNoDate,
     "||rwxr-s--t"},
    {"unknownFacts", "x.frob=1;type=file;;UNIX.owner=u;size=2; f", "f", likFile, 2},
    {"fraction", "type=file;modify=20240229235959.5; f", "f", likFile, 0,
     At(2024, 2, 29, 23, 59, 59, 500)},
    {"longFraction", "type=file;modify=19991231000000.123456; f", "f", likFile, 0,
     At(1999, 12, 31, 0, 0, 0, 123)},
    {"badDateLeavesNoDate", "type=file;size=1;modify=20230229000000; f", "f", likFile, 1},
    {"noFacts", " bare name", "bare name"},
    {"noFinalSemicolon", "type=dir;sizd=1 d", "d", likDirectory, 1},
    {"cdir", "type=cdir;sizd=4096; /home/u", "-"},
    {"pdir", "Type=PDir; ..", "-"},
    {"noBlank", "type=file;size=1;name", "-"},
    {"noName", "type=file;size=1; ", "-"},
    {"factWithoutValue", "type=file;size; f", "-"},
    {"sizeNotANumber", "type=file;size=12k; f", "-"},
    {"sizeTooBig", "type=file;size=99999999999999999999; f", "-"},
    {"unixLine", "-rw-r--r-- 1 u g 5 Jan 01 2020 f", "-"}};
INSTANTIATE_TEST_SUITE_P(Rows, MlsdLineTest, ::testing::ValuesIn(kMlsdRows),
                         [](const auto& info) { return std::string(info.param.What); });

TEST(MlsdLine, ModifyIsUtcShownInTheLocalZone) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    TIdFTPListItem item;
    item.RawLine = "type=file;modify=20240701235900.250; s";
    ParseMlsdLine(item);
    saved ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_EQ(item.Modified, At(2024, 7, 2, 1, 59, 0, 250));
}

} // namespace
