#include "IniFile.h"
#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace {

TEST(IniFile, ReadsNamesWithoutCaseAndValuesTrimmed) {
    TTempSettings t;
    t.WriteIni("; comment = not a key\r\n"
               "[other]\r\nHost=elsewhere\r\n"
               "[ MAIN ]\r\n  remotehost =  ftp.example.org  \r\nPort=2121\r\nEmpty=\r\n"
               "Port=99\r\n");
    const TIniFile ini(t.IniPath);
    const struct {
        const char* Section;
        const char* Key;
        const char* Expected;
    } cases[] = {
        {"Main", "RemoteHost", "ftp.example.org"},
        {"main", "REMOTEHOST", "ftp.example.org"},
        {"Main", "Port", "2121"}, // the first of two equal keys
        {"Main", "Empty", ""},
        {"Main", "Missing", "default"},
        {"Other", "Host", "elsewhere"},
        {"Main", "Host", "default"},
        {"Nowhere", "Port", "default"},
        {"Main", "; comment", "default"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ini.ReadString(c.Section, c.Key, "default"), c.Expected)
            << c.Section << "/" << c.Key;
    }
    EXPECT_TRUE(ini.ValueExists("MAIN", "empty"));
    EXPECT_FALSE(ini.ValueExists("Main", "Missing"));
}

TEST(IniFile, ReadsBooleansAsIntegers) {
    TTempSettings t;
    t.WriteIni("[Main]\nA=1\nB=0\nC=yes\nD= 7 \nE=\nF=-1\n");
    const TIniFile ini(t.IniPath);
    const struct {
        const char* Key;
        bool DefaultFalse;
        bool DefaultTrue;
    } cases[] = {{"A", true, true},       {"B", false, false}, {"C", false, true},
                 {"D", true, true},       {"E", false, true},  {"F", true, true},
                 {"Missing", false, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(ini.ReadBool("Main", c.Key, false), c.DefaultFalse) << c.Key;
        EXPECT_EQ(ini.ReadBool("Main", c.Key, true), c.DefaultTrue) << c.Key;
    }
}

TEST(IniFile, MissingFileReadsDefaultsAndIsCreatedWithItsFolder) {
    TTempSettings t;
    const std::string path = t.Dir + "/a/b/Settings.INI";
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadString("Main", "Port", "21"), "21");
    ini.WriteString("Main", "Port", "21");
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(path).ReadString("main", "port", ""), "21");
}

TEST(IniFile, RewriteKeepsOtherSectionsKeysAndComments) {
    TTempSettings t;
    t.WriteIni("; kept\n[Main]\nport=20\nUnknown=keep me\n\n[Other]\nX=1\n");
    TIniFile ini(t.IniPath);
    ini.WriteString("Main", "Port", "21");
    ini.WriteString("Main", "RemoteHost", "host");
    ini.WriteString("New", "Key", "v");
    ini.UpdateFile();
    EXPECT_EQ(t.ReadIni(), "; kept\n[Main]\nport=21\nUnknown=keep me\nRemoteHost=host\n\n"
                           "[Other]\nX=1\n[New]\nKey=v\n");
}

TEST(IniFile, WrittenFileIsPrivateAndNoTemporaryIsLeft) {
    TTempSettings t;
    t.WriteIni("[Main]\nPassword=9E\n");
    ::chmod(t.IniPath.c_str(), 0644);
    const mode_t old = ::umask(0);
    TIniFile ini(t.IniPath);
    ini.WriteString("Main", "Password", "9E 9D 9C");
    ini.UpdateFile();
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(t.IniPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(t.Dir)) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

TEST(IniFile, WriteFailureThrowsAndLeavesNothing) {
    TTempSettings t;
    t.WriteIni("[Main]\n");
    // A regular file where a folder should be fails for root too.
    TIniFile ini(t.IniPath + "/Inner.INI");
    ini.WriteString("Main", "Port", "21");
    EXPECT_THROW(ini.UpdateFile(), EIniWriteError);
    EXPECT_EQ(t.ReadIni(), "[Main]\n");
}

TEST(SettingsFileName, FollowsEnvironment) {
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string xdg = savedXdg ? savedXdg : "";
    const char* home = std::getenv("HOME");
    const struct {
        const char* Ini;
        const char* Xdg;
        std::string Expected;
    } cases[] = {
        {"/tmp/own.ini", "/cfg", "/tmp/own.ini"},
        {nullptr, "/cfg", "/cfg/QuorvanFTP/QuorvanFTP.INI"},
        {"", "/cfg", "/cfg/QuorvanFTP/QuorvanFTP.INI"},
        {nullptr, "", std::string(home ? home : "") + "/.config/QuorvanFTP/QuorvanFTP.INI"},
        {nullptr, "relative", std::string(home ? home : "") + "/.config/QuorvanFTP/QuorvanFTP.INI"},
    };
    for (const auto& c : cases) {
        c.Ini ? ::setenv("QUORVAN_FTP_INI", c.Ini, 1) : ::unsetenv("QUORVAN_FTP_INI");
        ::setenv("XDG_CONFIG_HOME", c.Xdg, 1);
        EXPECT_EQ(SettingsFileName(), c.Expected) << (c.Ini ? c.Ini : "(unset)") << " " << c.Xdg;
    }
    ::unsetenv("QUORVAN_FTP_INI");
    savedXdg ? ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1) : ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
