#pragma once

#include "Connect.h"
#include "Dialogs.h"
#include "Main.h"
#include "RealFtpServer.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Answers the program's dialogs in place of a person and records what was asked.
class TScriptedDialogs : public TDialogs {
public:
    TScriptedDialogs() { SetDialogs(this); }
    ~TScriptedDialogs() override { SetDialogs(nullptr); }

    struct TMessage {
        QString Caption;
        QString Text;
        TMsgIcon Icon;
        TMsgButtons Buttons;
    };
    std::vector<TMessage> Messages;
    TMsgResult MessageAnswer = TMsgResult::mrOK;
    // Done while each message box is open (after it is recorded).
    std::function<void()> WhileAsking;

    std::vector<QString> FolderTitles;
    std::vector<QString> FolderPreselected;
    bool FolderConfirmed = false;
    QString FolderChosen;

    TMsgResult MessageBox(QWidget*, const QString& ACaption, const QString& AText, TMsgIcon AIcon,
                          TMsgButtons AButtons) override {
        Messages.push_back({ACaption, AText, AIcon, AButtons});
        if (WhileAsking) {
            WhileAsking();
        }
        return MessageAnswer;
    }
    // Typed into the next text-input boxes; unset answers Cancel.
    std::optional<QString> InputAnswer;
    std::vector<QString> InputCaptions;
    std::vector<QString> InputPrompts;
    QString InputBox(QWidget*, const QString& ACaption, const QString& APrompt,
                     const QString& ADefault) override {
        InputCaptions.push_back(ACaption);
        InputPrompts.push_back(APrompt);
        return InputAnswer ? *InputAnswer : ADefault;
    }
    // The certificate questions asked, and the answers to give in turn
    // (Cancel once they run out).
    std::vector<TCertificateQuestion> Certificates;
    std::vector<TTrustAnswer> TrustAnswers;
    TTrustAnswer TrustCertificate(QWidget*, const TCertificateQuestion& AQuestion) override {
        Certificates.push_back(AQuestion);
        return Certificates.size() <= TrustAnswers.size() ? TrustAnswers[Certificates.size() - 1]
                                                          : TTrustAnswer::taCancel;
    }
    // The file-exists questions asked, and the replies to give in turn
    // (Overwrite once they run out).
    std::vector<TFileExistsQuestion> ExistsQuestions;
    std::vector<TFileExistsReply> ExistsReplies;
    TFileExistsReply FileExists(QWidget*, const TFileExistsQuestion& AQuestion) override {
        ExistsQuestions.push_back(AQuestion);
        return ExistsQuestions.size() <= ExistsReplies.size()
                   ? ExistsReplies[ExistsQuestions.size() - 1]
                   : TFileExistsReply{};
    }
    bool SelectFolder(QWidget*, const QString& ATitle, QString& ADirectory) override {
        FolderTitles.push_back(ATitle);
        FolderPreselected.push_back(ADirectory);
        if (FolderConfirmed) {
            ADirectory = FolderChosen;
        }
        return FolderConfirmed;
    }
};

// The next widget that Tab can reach after AFrom, whether enabled or not.
inline QWidget* NextTabStop(QWidget* AFrom) {
    QWidget* w = AFrom->nextInFocusChain();
    while (w != AFrom && !(w->focusPolicy() & Qt::TabFocus)) {
        w = w->nextInFocusChain();
    }
    return w;
}

// A private folder for one test, removed afterwards, with QUORVAN_FTP_INI
// pointing at a settings file inside it (which does not exist yet).
class TTempSettings {
public:
    TTempSettings();
    ~TTempSettings();
    std::string Dir;
    std::string IniPath;

    void WriteIni(const std::string& AContent) const;
    bool IniExists() const;
    std::string ReadIni() const;
};

// English texts, scripted dialogs and private settings for one test.
struct TAppFixture : ::testing::Test {
    TAppFixture() { SetSwedish(false); }
    ~TAppFixture() override { SetSwedish(false); }
    TTempSettings Settings;
    TScriptedDialogs Answers;
};

// The main window besides, with a private local folder.
struct TWindowFixture : TAppFixture {
    qtest::TempDir Local{"quorvan-local"};
    std::unique_ptr<TfrmMain> Window = std::make_unique<TfrmMain>();
    std::unique_ptr<TfrmConnect> Dialog;

    std::string LocalDir() const { return Local.path().string() + "/"; }
    // Writes AIni as the settings, then presses Connect and OK in the dialog.
    // APressOK false closes the dialog with OK without writing the file, as
    // when the file was changed behind the dialog's back.
    void ConnectWith(const std::string& AIni, bool APressOK = true);

    void TearDown() override {
        Dialog.reset();
        Window.reset();
    }
};

// ---- A session in the window, against real and scripted servers ----------------

struct TSettings {
    std::string Host;
    std::string Port;
    std::string User;
    std::string Password;
    std::string RemoteDir;
    std::string LocalDir;
    bool WithPassive = true;
    std::string Encryption = {}; // empty: no such line, as in an older file
};

std::string SettingsText(const TSettings& S);
std::vector<QString> Captions(const TFileListView& AList);
// A directory or parent row by its whole caption, a file row by its name.
QTreeWidgetItem* RowWithCaption(const TFileListView& AList, const QString& ACaption);
void Select(TFileListView& AList, const std::vector<QString>& ACaptions);
bool Contains(const std::vector<QString>& AList, const QString& AValue);

struct TSessionFixture : TWindowFixture {
    void Connect(const TSettings& ASettings, bool APressOK = true) {
        ConnectWith(SettingsText(ASettings), APressOK);
    }
    bool ConnectedLayout() const;
    bool DisconnectedLayout() const;
};

struct TRealFixture : TSessionFixture, ::testing::WithParamInterface<qtest::FtpServerKind> {
    void SetUp() override;
    std::unique_ptr<qtest::RealFtpServer> Server;

    TSettings Good() const {
        TSettings settings{Server->host(),     std::to_string(Server->port()), Server->user(),
                           Server->password(), Server->remoteWorkDir(),        LocalDir()};
        // ftpd-ssl accepts AUTH TLS and then fails every handshake (docs/servers.md).
        if (GetParam() == qtest::FtpServerKind::FtpdSsl) {
            settings.Encryption = "None";
        }
        return settings;
    }
    QString RemoteLabel(const std::string& ADir) const {
        return QStringLiteral("Remote files: (") + QString::fromStdString(ADir) + ")";
    }
};
