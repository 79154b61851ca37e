#include "IniFile.h"

#include "IdGlobal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& S) {
    size_t b = 0;
    size_t e = S.size();
    while (b < e && IsBlank(S[b])) {
        ++b;
    }
    while (e > b && IsBlank(S[e - 1])) {
        --e;
    }
    return S.substr(b, e - b);
}

std::string Fail(const std::string& AWhat, const std::string& AFile, int AErr) {
    return AWhat + " " + AFile + ": " + std::strerror(AErr);
}

// Creates every missing folder of the path, like mkdir -p.
void MakeFolders(const std::string& ADir) {
    if (ADir.empty()) {
        return;
    }
    struct stat st {};
    if (::stat(ADir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            throw EIniWriteError(Fail("Cannot create folder", ADir, ENOTDIR));
        }
        return;
    }
    const size_t slash = ADir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        MakeFolders(ADir.substr(0, slash));
    }
    if (::mkdir(ADir.c_str(), 0700) != 0 && errno != EEXIST) {
        throw EIniWriteError(Fail("Cannot create folder", ADir, errno));
    }
}

} // namespace

TIniFile::TIniFile(std::string AFileName) : FFileName(std::move(AFileName)) {
    std::ifstream in(FFileName, std::ios::binary);
    std::string raw;
    while (in && std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r') {
            raw.pop_back();
        }
        const std::string t = Trim(raw);
        if (t.size() >= 2 && t.front() == '[') {
            const size_t close = t.find(']');
            if (close != std::string::npos) {
                FSections.push_back({Trim(t.substr(1, close - 1)), raw, {}});
                continue;
            }
        }
        TLine line{raw, {}, {}};
        const size_t eq = t.find('=');
        if (eq != std::string::npos && eq > 0 && t.front() != ';' && t.front() != '#') {
            line.Key = Trim(t.substr(0, eq));
            line.Value = Trim(t.substr(eq + 1));
        }
        (FSections.empty() ? FPreamble : FSections.back().Lines).push_back(std::move(line));
    }
}

TIniFile::TSection* TIniFile::FindSection(const std::string& AName) {
    for (TSection& s : FSections) {
        if (SameTextAscii(s.Name, AName)) {
            return &s;
        }
    }
    return nullptr;
}

const TIniFile::TLine* TIniFile::FindLine(const std::string& ASection,
                                          const std::string& AKey) const {
    // A section may appear more than once in a hand-edited file; the first
    // occurrence of a key wins, as with the platform's profile functions.
    for (const TSection& s : FSections) {
        if (!SameTextAscii(s.Name, ASection)) {
            continue;
        }
        for (const TLine& l : s.Lines) {
            if (!l.Key.empty() && SameTextAscii(l.Key, AKey)) {
                return &l;
            }
        }
    }
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& ASection, const std::string& AKey,
                                 const std::string& ADefault) const {
    const TLine* l = FindLine(ASection, AKey);
    return l ? l->Value : ADefault;
}

long TIniFile::ReadInteger(const std::string& ASection, const std::string& AKey,
                           long ADefault) const {
    const std::string v = ReadString(ASection, AKey, {});
    if (v.empty()) {
        return ADefault;
    }
    const char* begin = v.c_str();
    char* end = nullptr;
    errno = 0;
    const bool hex = v.size() > 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X');
    const long n = std::strtol(hex ? begin + 2 : begin, &end, hex ? 16 : 10);
    if (errno != 0 || end == begin || *end != '\0') {
        return ADefault;
    }
    return n;
}

bool TIniFile::ReadBool(const std::string& ASection, const std::string& AKey, bool ADefault) const {
    return ReadInteger(ASection, AKey, ADefault ? 1 : 0) != 0;
}

bool TIniFile::ValueExists(const std::string& ASection, const std::string& AKey) const {
    return FindLine(ASection, AKey) != nullptr;
}

void TIniFile::WriteString(const std::string& ASection, const std::string& AKey,
                           const std::string& AValue) {
    if (auto* line = const_cast<TLine*>(FindLine(ASection, AKey))) {
        line->Value = Trim(AValue);
        line->Text = line->Key + "=" + AValue;
        return;
    }
    TSection* target = FindSection(ASection);
    if (!target) {
        FSections.push_back({ASection, "[" + ASection + "]", {}});
        target = &FSections.back();
    }
    // New keys go after the section's last key, before the blank lines that
    // separate it from the next section.
    auto pos = target->Lines.end();
    while (pos != target->Lines.begin() && Trim(std::prev(pos)->Text).empty()) {
        --pos;
    }
    target->Lines.insert(pos, TLine{AKey + "=" + AValue, AKey, Trim(AValue)});
}

void TIniFile::UpdateFile() const {
    std::string content;
    for (const TLine& l : FPreamble) {
        content += l.Text + "\n";
    }
    for (const TSection& s : FSections) {
        content += s.Header + "\n";
        for (const TLine& l : s.Lines) {
            content += l.Text + "\n";
        }
    }

    const size_t slash = FFileName.find_last_of('/');
    if (slash != std::string::npos) {
        MakeFolders(FFileName.substr(0, slash));
    }
    std::string temp = FFileName + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw EIniWriteError(Fail("Cannot write", FFileName, errno));
    }
    const auto fail = [&](int AErr) {
        ::unlink(temp.c_str());
        throw EIniWriteError(Fail("Cannot write", FFileName, AErr));
    };
    // mkstemp already creates the file 0600; fchmod keeps it so under any umask.
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            fail(err);
        }
        done += size_t(n);
    }
    const bool synced = ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0) {
        err = errno;
    } else if (synced) {
        err = 0;
    }
    if (err != 0 || ::rename(temp.c_str(), FFileName.c_str()) != 0) {
        fail(err != 0 ? err : errno);
    }
}

std::string SettingsFileName() {
    const char* own = std::getenv("QUORVAN_FTP_INI");
    if (own && *own) {
        return own;
    }
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home ? home : "") + "/.config";
    }
    return base + "/QuorvanFTP/QuorvanFTP.INI";
}
