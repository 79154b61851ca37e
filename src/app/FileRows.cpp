#include "FileRows.h"

#include "IdGlobal.h"

#include <QCollator>
#include <QStringDecoder>

#include <cmath>

namespace {

// Digits of an unsigned magnitude, grouped by threes with the locale's separator.
QString GroupDigits(const QString& ADigits, const QLocale& ALocale) {
    const QString sep = ALocale.groupSeparator();
    QString out;
    const qsizetype n = ADigits.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) {
            out += sep;
        }
        out += ADigits[i];
    }
    return out;
}

// "#,###;#,###;0": the negative section carries no sign, so only the magnitude
// is printed; uint64_t holds the magnitude of INT64_MIN too.
QString FormatWhole(int64_t AValue, const QLocale& ALocale) {
    if (AValue == 0) {
        return QStringLiteral("0");
    }
    const uint64_t magnitude =
        AValue < 0 ? uint64_t(0) - static_cast<uint64_t>(AValue) : static_cast<uint64_t>(AValue);
    return GroupDigits(QString::number(magnitude), ALocale);
}

constexpr int64_t KB = 1024;
constexpr int64_t Units[] = {KB, KB * 1024, KB * 1024 * 1024, KB * 1024 * 1024 * 1024};

// A count of at least one KB as its unit (0 = KB ... 3 = TB) and its value in
// that unit in hundredths, rounded half away from zero. Integers only from
// here on, so the C library's LC_NUMERIC never enters the text.
struct TScaled {
    int Unit;
    int64_t Hundredths;
};

TScaled Scale(int64_t ACount) {
    int unit = 0;
    while (unit < 3 && ACount >= Units[unit + 1]) {
        ++unit;
    }
    const double value = static_cast<double>(ACount) / static_cast<double>(Units[unit]);
    return {unit, std::llround(value * 100.0)};
}

// "#,##0.00;#,##0.00;0.00" of a non-negative value in hundredths.
QString FormatTwoDecimals(int64_t AHundredths, const QLocale& ALocale) {
    const int64_t fraction = AHundredths % 100;
    return GroupDigits(QString::number(AHundredths / 100), ALocale) + ALocale.decimalPoint() +
           QLatin1Char(char('0' + fraction / 10)) + QLatin1Char(char('0' + fraction % 10));
}

} // namespace

QString FormatSize(int64_t ACount) {
    return FormatSize(ACount, QLocale::system());
}

QString FormatSize(int64_t ACount, const QLocale& ALocale) {
    static const char* const UnitNames[] = {" KB", " MB", " GB", " TB"};
    if (ACount < KB) {
        return FormatWhole(ACount, ALocale) + QStringLiteral(" B");
    }
    const TScaled scaled = Scale(ACount);
    return FormatTwoDecimals(scaled.Hundredths, ALocale) +
           QString::fromLatin1(UnitNames[scaled.Unit]);
}

int64_t FormatSizeKey(int64_t ACount) {
    if (ACount < KB) {
        return ACount;
    }
    // The unit and the rounded digits are all that FormatSize's text depends
    // on; the unit goes above any count of hundredths, and above any count
    // below a kilobyte.
    const TScaled scaled = Scale(ACount);
    return (int64_t{scaled.Unit} + 1) << 56 | scaled.Hundredths;
}

QString FormatCount(int32_t ACount) {
    return FormatCount(ACount, QLocale::system());
}

QString FormatCount(int32_t ACount, const QLocale& ALocale) {
    return FormatWhole(ACount, ALocale);
}

QString FileExtension(const QString& AName) {
    const qsizetype dot = AName.lastIndexOf(QLatin1Char('.'));
    if (dot < 0) {
        return {};
    }
    // A dot inside a folder part of a path is no extension.
    if (AName.indexOf(QLatin1Char('/'), dot) >= 0) {
        return {};
    }
    return AName.mid(dot);
}

QString FileRowCaption(const QString& AName) {
    const QString ext = FileExtension(AName);
    if (ext.isEmpty()) {
        return QStringLiteral("<N/A> ") + AName;
    }
    return QLatin1Char('<') + ext.toUpper() + QStringLiteral("> ") + AName;
}

bool IsLocalDirectoryRow(const QString& ACaption) {
    return ACaption.startsWith(QStringLiteral("<\\>"));
}

bool IsRemoteDirectoryRow(const QString& ACaption) {
    return ACaption.startsWith(QStringLiteral("</>"));
}

bool IsRemoteParentRow(const QString& ACaption) {
    return ACaption.startsWith(QStringLiteral("<..>"));
}

const QCollator& CaptionCollator() {
    // Building a collator is costly next to one comparison; listings compare often.
    static const QCollator collator = [] {
        QCollator c(QLocale::system());
        c.setCaseSensitivity(Qt::CaseSensitive);
        return c;
    }();
    return collator;
}

int CompareCaptions(const QString& A, const QString& B) {
    return CaptionCollator().compare(A, B);
}

int CompareCaptions(const QString& A, const QString& B, const QLocale& ALocale) {
    QCollator collator(ALocale);
    collator.setCaseSensitivity(Qt::CaseSensitive);
    return collator.compare(A, B);
}

QString DecodeName(const std::string& ABytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(ABytes.data(), qsizetype(ABytes.size())));
    if (!utf8.hasError()) {
        return text;
    }
    // Windows-1252: Latin-1 except for 0x80..0x9F; its five unassigned codes
    // keep their C1 value so that no byte is lost from the face.
    static constexpr char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    text.clear();
    text.reserve(qsizetype(ABytes.size()));
    for (const char ch : ABytes) {
        const auto b = static_cast<unsigned char>(ch);
        text += QChar(b >= 0x80 && b < 0xA0 ? high[b - 0x80] : char16_t(b));
    }
    return text;
}

QString ShowName(const std::string& ABytes) {
    return DecodeName(EscapeControl(ABytes));
}

std::string NameBytes(const std::string& ABytes, const QString& AShown) {
    return ShowName(ABytes) == AShown ? ABytes : AShown.toUtf8().toStdString();
}
