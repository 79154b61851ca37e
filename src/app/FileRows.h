#pragma once

#include <QCollator>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <string>

// Text rules shared by both file panes and the progress display: byte counts
// and counts with the user's separators, row captions with their type markers,
// the row kinds read back from a caption, and the order rows stand in.

// Without a locale argument the system's regional settings decide the separators.
QString FormatSize(int64_t ACount);
QString FormatSize(int64_t ACount, const QLocale& ALocale);
// Two counts with the same key are shown alike by FormatSize in any one locale;
// far cheaper than formatting, for displays updated on every received chunk.
int64_t FormatSizeKey(int64_t ACount);
QString FormatCount(int32_t ACount);
QString FormatCount(int32_t ACount, const QLocale& ALocale);

// The extension including its leading dot, or empty when the name has none.
QString FileExtension(const QString& AName);
QString FileRowCaption(const QString& AName);

bool IsLocalDirectoryRow(const QString& ACaption);
bool IsRemoteDirectoryRow(const QString& ACaption);
bool IsRemoteParentRow(const QString& ACaption);

// Locale-aware and case-sensitive; negative, zero or positive like strcmp.
// The system locale's collator behind CompareCaptions; its sort keys stand in
// for it where one key per row beats collating on every comparison.
const QCollator& CaptionCollator();
int CompareCaptions(const QString& A, const QString& B);
int CompareCaptions(const QString& A, const QString& B, const QLocale& ALocale);

// A folder's path as bytes (std::string) or as text (QString), ending in "/".
template <typename TPath> TPath WithTrailingSeparator(TPath APath) {
    const auto separator = typename TPath::value_type(u'/');
    if (APath.size() == 0 || APath.back() != separator) {
        APath.push_back(separator);
    }
    return APath;
}

// Names arrive as bytes (from the server or the file system). They are shown as
// UTF-8 when they are valid UTF-8, otherwise as Windows-1252, so every byte
// string has a readable face; commands keep using the original bytes.
QString DecodeName(const std::string& ABytes);
// The face of a name in rows, labels and messages: decoded as above, with
// control characters (and the backslash) escaped as a terminal would see
// them, so a name cannot hide characters or break a message's lines.
QString ShowName(const std::string& ABytes);
// The bytes of a name shown as AShown: ABytes while they still show as it,
// otherwise the shown text in UTF-8 (someone typed a new one).
std::string NameBytes(const std::string& ABytes, const QString& AShown);
