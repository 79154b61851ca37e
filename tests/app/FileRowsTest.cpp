#include "FileRows.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <climits>
#include <clocale>
#include <cstdint>
#include <string>

namespace {

// The C library's locale as QApplication sets it from LANG=sv_SE.UTF-8: a
// decimal comma and a grouping space for anything that follows LC_NUMERIC.
class TSwedishCLocale {
public:
    TSwedishCLocale() : FSaved(std::setlocale(LC_ALL, nullptr)) {
        Active = std::setlocale(LC_ALL, "sv_SE.UTF-8") != nullptr;
    }
    ~TSwedishCLocale() { std::setlocale(LC_ALL, FSaved.c_str()); }
    bool Active = false;

private:
    std::string FSaved;
};

struct TSizeCase {
    int64_t Count;
    const char* Text;
};

// With "," grouping and "." as decimal point.
const TSizeCase EnglishSizes[] = {
    {0, "0 B"},
    {1, "1 B"},
    {999, "999 B"},
    {1000, "1,000 B"},
    {1023, "1,023 B"},
    {1024, "1.00 KB"},
    {1536, "1.50 KB"},
    {1048575, "1,024.00 KB"}, // rounds up but stays in KB
    {1048576, "1.00 MB"},
    {1073741823, "1,024.00 MB"},
    {1073741824, "1.00 GB"},
    {5000000000LL, "4.66 GB"},
    {1099511627776LL, "1.00 TB"},
    {1099511627776LL * 1500, "1,500.00 TB"},
    {INT64_MAX, "8,388,608.00 TB"},
    {-5, "5 B"},
    {-1234, "1,234 B"},
    {INT64_MIN, "9,223,372,036,854,775,808 B"},
};

TEST(FormatSize, EnglishAndCLocalesGroupWithCommaAndUseDecimalPoint) {
    for (const QLocale& locale : {QLocale::c(), QLocale(QLocale::English, QLocale::UnitedStates)}) {
        for (const TSizeCase& c : EnglishSizes) {
            EXPECT_EQ(FormatSize(c.Count, locale).toStdString(), c.Text)
                << c.Count << " in " << locale.name().toStdString();
        }
    }
}

TEST(FormatSize, SwedishLocaleUsesItsOwnSeparators) {
    const TSwedishCLocale real;
    if (!real.Active) {
        GTEST_SKIP() << "sv_SE.UTF-8 is not generated (scripts/setup.sh makes it)";
    }
    // Whatever the C library's numbers look like, each locale keeps its own.
    for (const TSizeCase& c : EnglishSizes) {
        EXPECT_EQ(FormatSize(c.Count, QLocale::c()).toStdString(), c.Text) << c.Count;
    }
    const QLocale sv(QLocale::Swedish, QLocale::Sweden);
    const QString group = sv.groupSeparator();
    const TSizeCase cases[] = {
        {1536, "1,50 KB"},
        {0, "0 B"},
        {5000000000LL, "4,66 GB"},
    };
    for (const TSizeCase& c : cases) {
        EXPECT_EQ(FormatSize(c.Count, sv).toStdString(), c.Text) << c.Count;
    }
    EXPECT_EQ(FormatSize(1023, sv), QStringLiteral("1") + group + QStringLiteral("023 B"));
    EXPECT_EQ(FormatSize(1048575, sv), QStringLiteral("1") + group + QStringLiteral("024,00 KB"));
}

TEST(FormatSizeKey, SameKeyExactlyWhenSameText) {
    // Runs of neighbouring counts around every unit boundary and rounding
    // step, the way a transfer's running count passes through them.
    const int64_t KB = 1024;
    const int64_t starts[] = {0,
                              KB - 3,
                              KB * 5 - 7,
                              KB * KB - 300,
                              KB * KB * 7 + 5242 - 30,
                              KB * KB * KB - 2000,
                              KB * KB * KB * KB - 2000};
    const QLocale sv(QLocale::Swedish, QLocale::Sweden);
    for (const int64_t start : starts) {
        for (int64_t count = start; count < start + 4000; count += 3) {
            const int64_t next = count + 3;
            const bool sameKey = FormatSizeKey(count) == FormatSizeKey(next);
            for (const QLocale& locale : {QLocale::c(), sv}) {
                EXPECT_EQ(sameKey, FormatSize(count, locale) == FormatSize(next, locale))
                    << count << " " << next;
            }
        }
    }
}

TEST(FormatCount, GroupsThousandsWithoutUnitOrSign) {
    const struct {
        int32_t Count;
        const char* Text;
    } cases[] = {{0, "0"},         {1, "1"},
                 {1234, "1,234"},  {1000000, "1,000,000"},
                 {-1234, "1,234"}, {INT32_MIN, "2,147,483,648"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatCount(c.Count, QLocale::c()).toStdString(), c.Text) << c.Count;
    }
}

TEST(FileRowCaption, MarksTheUpperCasedExtension) {
    const struct {
        const char* Name;
        const char* Caption;
    } cases[] = {
        {"readme.txt", "<.TXT> readme.txt"},
        {"Makefile", "<N/A> Makefile"},
        {".profile", "<.PROFILE> .profile"},
        {"archive.tar.gz", "<.GZ> archive.tar.gz"},
        {"name.", "<.> name."},
        {"dir.d/file", "<N/A> dir.d/file"}, // the dot belongs to a folder part
        {"bild.jpäg", "<.JPÄG> bild.jpäg"},
        {"", "<N/A> "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileRowCaption(QString::fromUtf8(c.Name)).toStdString(), c.Caption) << c.Name;
    }
}

TEST(RowKinds, AreToldApartByTheirMarkers) {
    const struct {
        const char* Caption;
        bool LocalDir, RemoteDir, Parent;
    } cases[] = {
        {"<..> ..", false, false, true},
        {"</> pub", false, true, false},
        {"<\\> Temp", true, false, false},
        {"<.TXT> readme.txt", false, false, false},
        {"<N/A> Makefile", false, false, false},
        {"<.> name.", false, false, false},
        // Files whose names look like markers still carry their own marker first.
        {"<N/A> </> x", false, false, false},
        {"<.TXT> <\\> x.txt", false, false, false},
        {"<.", false, false, false},
    };
    EXPECT_EQ(FileRowCaption(QStringLiteral("</> x")), QStringLiteral("<N/A> </> x"));
    for (const auto& c : cases) {
        const QString caption = QString::fromUtf8(c.Caption);
        EXPECT_EQ(IsLocalDirectoryRow(caption), c.LocalDir) << c.Caption;
        EXPECT_EQ(IsRemoteDirectoryRow(caption), c.RemoteDir) << c.Caption;
        EXPECT_EQ(IsRemoteParentRow(caption), c.Parent) << c.Caption;
    }
}

TEST(CaptionOrder, ParentEntryFirstAndMarkersFormBlocks) {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QStringList sorted = {
        QStringLiteral("<..> .."),      QStringLiteral("<.> name."),
        QStringLiteral("<.GZ> a.gz"),   QStringLiteral("<.TXT> a.txt"),
        QStringLiteral("<.TXT> b.txt"), QStringLiteral("</> alpha"),
        QStringLiteral("</> beta"),     QStringLiteral("<N/A> Makefile"),
    };
    for (qsizetype i = 0; i + 1 < sorted.size(); ++i) {
        EXPECT_LT(CompareCaptions(sorted[i], sorted[i + 1], en), 0)
            << sorted[i].toStdString() << " / " << sorted[i + 1].toStdString();
        EXPECT_GT(CompareCaptions(sorted[i + 1], sorted[i], en), 0);
    }
}

TEST(CaptionOrder, IsCaseSensitiveAndLocaleAware) {
    const QLocale en(QLocale::English, QLocale::UnitedStates);
    const QLocale sv(QLocale::Swedish, QLocale::Sweden);
    const QString lower = QStringLiteral("<N/A> readme");
    const QString upper = QStringLiteral("<N/A> README");
    EXPECT_NE(CompareCaptions(lower, upper, en), 0);
    EXPECT_EQ(CompareCaptions(lower, lower, en), 0);
    // Swedish puts Ä after Z; English sorts it with A.
    const QString ae = QStringLiteral("<N/A> Äpple");
    const QString z = QStringLiteral("<N/A> Zebra");
    EXPECT_GT(CompareCaptions(ae, z, sv), 0);
    EXPECT_LT(CompareCaptions(ae, z, en), 0);
}

TEST(DecodeName, KeepsUtf8AndFallsBackToWindows1252) {
    const struct {
        std::string Bytes;
        const char* Face; // UTF-8
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"r\xC3\xA4ksm\xC3\xB6rg\xC3\xA5s", "räksmörgås"},
        {"r\xE4ksm\xF6rg\xE5s", "räksmörgås"},
        {"\x80 \x9F \x81", "€ Ÿ \xC2\x81"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodeName(c.Bytes), QString::fromUtf8(c.Face)) << c.Bytes;
    }
    EXPECT_EQ(DecodeName(std::string("a\0b", 3)).size(), 3);
}

} // namespace
