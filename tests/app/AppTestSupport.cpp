#include "AppTestSupport.h"

#include "FileRows.h"
#include "IniFile.h"
#include "Main.h"
#include "PyftpdlibServer.h"
#include "VsftpdServer.h"

#include <gtest/gtest.h>

#include <QTimer>

#include <algorithm>
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

// ---- A session in the window ----------------------------------------------------

std::string SettingsText(const TSettings& S) {
    std::string text = "[Main]\nRemoteHost=" + S.Host + "\nPort=" + S.Port + "\n";
    if (S.WithPassive) {
        text += "Passive=1\n";
    }
    text += "Username=" + S.User + "\nPassword=" + EncodePassword(S.Password) +
            "\nInitialRemoteDirectory=" + S.RemoteDir + "\nInitialLocalDirectory=" + S.LocalDir +
            "\n";
    if (!S.Encryption.empty()) {
        text += "Encryption=" + S.Encryption + "\n";
    }
    return text;
}

std::vector<QString> Captions(const TFileListView& AList) {
    std::vector<QString> out;
    for (int i = 0; i < AList.topLevelItemCount(); ++i) {
        out.push_back(TFileListView::RowCaption(*AList.topLevelItem(i)));
    }
    return out;
}

QTreeWidgetItem* RowWithCaption(const TFileListView& AList, const QString& ACaption) {
    for (int i = 0; i < AList.topLevelItemCount(); ++i) {
        const QString caption = TFileListView::RowCaption(*AList.topLevelItem(i));
        if (caption == ACaption || caption == FileRowCaption(ACaption)) {
            return AList.topLevelItem(i);
        }
    }
    return nullptr;
}

void Select(TFileListView& AList, const std::vector<QString>& ACaptions) {
    AList.clearSelection();
    for (const QString& c : ACaptions) {
        QTreeWidgetItem* row = RowWithCaption(AList, c);
        ASSERT_NE(row, nullptr) << c.toStdString();
        row->setSelected(true);
    }
}

bool Contains(const std::vector<QString>& AList, const QString& AValue) {
    return std::find(AList.begin(), AList.end(), AValue) != AList.end() ||
           std::find(AList.begin(), AList.end(), FileRowCaption(AValue)) != AList.end();
}

bool TSessionFixture::ConnectedLayout() const {
    return !Window->btnConnect.isEnabled() && Window->btnDisconnect.isEnabled() &&
           Window->lvRemoteFiles.isEnabled() && Window->btnLocalUpload.isEnabled() &&
           Window->btnChangeMode.isEnabled();
}

bool TSessionFixture::DisconnectedLayout() const {
    return Window->btnConnect.isEnabled() && !Window->btnDisconnect.isEnabled() &&
           !Window->lvRemoteFiles.isEnabled() && !Window->btnLocalUpload.isEnabled() &&
           Window->lvRemoteFiles.topLevelItemCount() == 0 &&
           Window->lvLocalFiles.topLevelItemCount() == 0 &&
           Window->lblRemoteFiles.text() == QStringLiteral("Remote files:") &&
           Window->lblLocalFiles.text() == QStringLiteral("Local files:") &&
           Window->lblTransfer.text().isEmpty() && Window->lblProgress.text().isEmpty();
}

void TRealFixture::SetUp() {
    using namespace qtest;
    if (const std::string why = FtpServerUnavailable(GetParam()); !why.empty()) {
        GTEST_SKIP() << why;
    }
    // The servers added later run the rows a window user meets first.
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (GetParam() != FtpServerKind::Vsftpd && GetParam() != FtpServerKind::Pyftpdlib &&
        test.find("ConnectFills") == std::string::npos &&
        test.find("DownloadsThreeFiles") == std::string::npos) {
        GTEST_SKIP() << ToString(GetParam()) << " runs the connect and download rows only";
    }
    Server = StartFtpServer(GetParam());
}
