#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// A small INI profile file: "[Section]" lines and "key=value" lines.
// Section and key names match without regard to letter case; values are read
// with surrounding blanks removed; anything the program does not know
// (other sections, other keys, comments) survives a rewrite unchanged.
class TIniFile {
public:
    // Loads the file if it exists; a missing or unreadable file reads as empty.
    explicit TIniFile(std::string AFileName);

    const std::string& FileName() const { return FFileName; }

    std::string ReadString(const std::string& ASection, const std::string& AKey,
                           const std::string& ADefault) const;
    // A value that is not a whole number reads as the default.
    long ReadInteger(const std::string& ASection, const std::string& AKey, long ADefault) const;
    bool ReadBool(const std::string& ASection, const std::string& AKey, bool ADefault) const;
    bool ValueExists(const std::string& ASection, const std::string& AKey) const;

    // Changes the image in memory; UpdateFile puts it on disk.
    void WriteString(const std::string& ASection, const std::string& AKey,
                     const std::string& AValue);

    // Writes the whole file through a temporary file in the same folder and a
    // rename, so a crash never leaves half a file, with mode 0600 because the
    // file holds a password. Creates the folder when it is missing.
    // Throws EIniWriteError when anything fails.
    void UpdateFile() const;

private:
    struct TLine {
        std::string Text; // the line as read, or as written by WriteString
        std::string Key;  // empty for section headers, comments and blank lines
        std::string Value;
    };
    struct TSection {
        std::string Name;
        std::string Header; // the header line as read
        std::vector<TLine> Lines;
    };

    TSection* FindSection(const std::string& AName);
    const TLine* FindLine(const std::string& ASection, const std::string& AKey) const;

    std::string FFileName;
    std::vector<TLine> FPreamble; // lines before the first section
    std::vector<TSection> FSections;
};

class EIniWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// $QUORVAN_FTP_INI when set and not empty, otherwise
// $XDG_CONFIG_HOME/QuorvanFTP/QuorvanFTP.INI (XDG_CONFIG_HOME defaulting to ~/.config).
std::string SettingsFileName();
