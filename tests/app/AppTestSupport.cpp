#include "AppTestSupport.h"

#include "Main.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

// The application object must exist before any widget and go before the
// process ends; a test environment gives it exactly that lifetime.
class TAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        FApp = std::make_unique<TQuorvanApplication>(FArgc, FArgv);
    }
    void TearDown() override { FApp.reset(); }

private:
    int FArgc = 1;
    char FName[16] = "test_app";
    char* FArgv[2] = {FName, nullptr};
    std::unique_ptr<TQuorvanApplication> FApp;
};

[[maybe_unused]] ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new TAppEnvironment); // gtest owns it

} // namespace

TTempSettings::TTempSettings() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvan-app-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    Dir = pattern;
    IniPath = Dir + "/QuorvanFTP.INI";
    ::setenv("QUORVAN_FTP_INI", IniPath.c_str(), 1);
}

TTempSettings::~TTempSettings() {
    ::unsetenv("QUORVAN_FTP_INI");
    std::error_code ec;
    std::filesystem::permissions(Dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(Dir, ec);
}

void TTempSettings::WriteIni(const std::string& AContent) const {
    std::ofstream(IniPath, std::ios::binary) << AContent;
}

bool TTempSettings::IniExists() const {
    return std::filesystem::exists(IniPath);
}

std::string TTempSettings::ReadIni() const {
    std::ifstream in(IniPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void TWindowFixture::ConnectWith(const std::string& AIni, bool APressOK) {
    Settings.WriteIni(AIni);
    // One dialog at a time: the program knows only the first one alive.
    Dialog.reset();
    Dialog = std::make_unique<TfrmConnect>();
    QTimer::singleShot(0, Dialog.get(),
                       [this, APressOK] { APressOK ? Dialog->btnOK.click() : Dialog->accept(); });
    Window->btnConnect.click();
}
