// Session control: Connect, Disconnect, the transfer type, and how the window
// shows the batch loop and a session that ended.
#include "Certificate.h"
#include "Connect.h"
#include "Dialogs.h"
#include "FileRows.h"
#include "IdException.h"
#include "IdFTP.h"
#include "IdResourceStrings.h"
#include "IniFile.h"
#include "Main.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace {

const char* const Section = "Main";

// The whole text must be a decimal number of a TCP port: a wider number
// would wrap to another port.
int32_t PortFromText(const std::string& AText) {
    char* end = nullptr;
    errno = 0;
    const long value = AText.empty() ? 0 : std::strtol(AText.c_str(), &end, 10);
    if (AText.empty() || errno != 0 || end != AText.c_str() + AText.size() || value < 1 ||
        value > 65535) {
        throw std::invalid_argument(PickText(TWindowText::wtPortRange).toStdString());
    }
    return static_cast<int32_t>(value);
}

QString OneLine(const std::string& AText) {
    QString text = DecodeName(AText);
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

// The message text of a failure: the specified text, and the reason beneath it.
QString WithReason(const QString& AText, const QString& AReason) {
    return AReason.isEmpty() ? AText : AText + QLatin1Char('\n') + AReason;
}

} // namespace

QString FailureReason(const std::exception_ptr& AError) {
    if (!AError) {
        return {};
    }
    try {
        std::rethrow_exception(AError);
    } catch (const EIdProtocolReplyError& e) {
        // The server's own reply line, as it would read in a terminal.
        const std::string text = e.what();
        const std::string first = text.substr(0, text.find_first_of("\r\n"));
        return QString::number(e.ReplyCode) + QLatin1Char(' ') + OneLine(first);
    } catch (const std::exception& e) {
        // "Socket Error # 10061" and the system's text on the next line:
        // the text first, the number after it.
        const std::string text = e.what();
        const std::string words = WithoutSocketErrorNumber(text);
        if (words.size() < text.size()) {
            const QString tail = OneLine(words);
            if (!tail.isEmpty()) {
                return tail + QStringLiteral(" (") +
                       OneLine(text.substr(0, text.size() - words.size())) + QLatin1Char(')');
            }
        }
        return OneLine(text);
    } catch (...) {
        return {};
    }
}

void TfrmMain::RunUserCommand(const std::function<void()>& ACommand) {
    if (CanStartCommand()) {
        RunGuarded(ACommand);
    }
}

void TfrmMain::ProcessMessages() {
    QCoreApplication::processEvents();
}

// ---- Commands ---------------------------------------------------------------------

void TfrmMain::btnConnectClick() {
    TNetworkScope scope(*this);
    if (!frmConnect || frmConnect->exec() != QDialog::Accepted) {
        return;
    }
    const TIniFile ini(SettingsFileName());
    const std::string host = ini.ReadString(Section, "RemoteHost", "");
    if (host.empty()) {
        return;
    }
    const std::string port = ini.ReadString(Section, "Port", "21");
    if (port.empty() || !ini.ValueExists(Section, "Passive")) {
        return;
    }
    const bool passive = ini.ReadBool(Section, "Passive", false);
    const std::string user = ini.ReadString(Section, "Username", "");
    if (user.empty()) {
        return;
    }
    std::string password = frmConnect->PasswordNotSaved()
                               ? *frmConnect->PasswordNotSaved()
                               : DecodePassword(ini.ReadString(Section, "Password", ""));
    if (password.empty()) {
        if (!IsAnonymousUser(user)) {
            return;
        }
        // What anonymous servers ask for in place of a password.
        password = "anonymous@";
    }
    const std::string remoteDir = ini.ReadString(Section, "InitialRemoteDirectory", "/");
    if (remoteDir.empty()) {
        return;
    }
    const std::string localDir = ini.ReadString(Section, "InitialLocalDirectory",
                                                DefaultLocalDirectory().toUtf8().toStdString());
    if (localDir.empty()) {
        return;
    }

    // While connecting, Disconnect is the way to give up, and the whole
    // connect (greeting, sign-in, first listing) has a limit: a server that
    // accepts and then says nothing must not hold the window for ever.
    btnConnect.setEnabled(false);
    btnDisconnect.setEnabled(true);
    FConnectTimedOut = false;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, this, [this] {
        FConnectTimedOut = true;
        Interrupt(0);
        ShowDisconnectedLayout();
    });
    limit.start(ConnectLimit);
    struct TReadLimit {
        TIdFTP& Client;
        ~TReadLimit() { Client.ReadTimeout = 0; }
    } readLimit{*sckFTP};
    // The library's own limit is only a backstop for a wait that cannot
    // pump messages: the timer above, run by the anti-freeze between wait
    // steps, ends the connect first, the first listing's data included.
    constexpr int32_t BackstopMargin = 1000;
    sckFTP->ReadTimeout = ConnectLimit + BackstopMargin;
    const auto timedOut = [this] {
        if (!FConnectTimedOut) {
            return false;
        }
        FConnectTimedOut = false;
        ShowConnectionFailed(QString::fromLatin1(IdResourceStrings::RSConnectTimeout));
        return true;
    };

    int32_t portNumber = 0;
    TIdFtpTlsSettings& tls = sckFTP->TlsSettings;
    tls = TIdFtpTlsSettings{};
    tls.Mode = EncryptionMode(ini.ReadString(Section, EncryptionKey, ""));
    // A certificate the user chose to always trust is the only one accepted.
    std::string remembered;
    for (;;) {
        try {
            sckFTP->SetHost(host);
            portNumber = PortFromText(port);
            sckFTP->SetPort(portNumber);
            sckFTP->Username = user;
            sckFTP->Password = password;
            sckFTP->Passive = passive;
            if (tls.Mode != TIdFtpTlsMode::tmNone && tls.PinnedSha256.empty()) {
                remembered = RememberedCertificate(host, portNumber);
                if (!remembered.empty()) {
                    tls.Verify = TIdTlsVerify::tvPin;
                    tls.PinnedSha256 = remembered;
                    // This server has spoken TLS before: a refused AUTH now is
                    // more likely someone in between than a server that forgot.
                    if (tls.Mode == TIdFtpTlsMode::tmExplicitIfAvailable) {
                        tls.Mode = TIdFtpTlsMode::tmExplicitRequired;
                    }
                }
            }
            sckFTP->OpenSession(true, ConnectLimit + BackstopMargin);
            break;
        } catch (...) {
            const std::exception_ptr error = std::current_exception();
            // The library's own limits are the same as the window's.
            std::optional<TCertificateQuestion> question;
            try {
                throw;
            } catch (const EIdReadTimeout&) {
                FConnectTimedOut = true;
            } catch (const EIdConnectTimeout&) {
                FConnectTimedOut = true;
            } catch (const EIdTlsVerifyError& e) {
                question =
                    TCertificateQuestion{QString::fromStdString(CertificateKey(host, portNumber)),
                                         e.Certificate, OneLine(e.Reason), !remembered.empty()};
            } catch (...) {
            }
            if (FConnectTimedOut) {
                ShowDisconnectedLayout();
                timedOut();
                return;
            }
            // Disconnect, or closing the window, ended the attempt on purpose.
            if (scope.Interrupted() || FWindowClosed) {
                return;
            }
            if (question) {
                // The user reads the certificate for as long as it takes; the
                // limit is for the network, and starts again for the new attempt.
                limit.stop();
                const TTrustAnswer answer = Dialogs().TrustCertificate(this, *question);
                if (scope.Interrupted() || FWindowClosed) {
                    return;
                }
                if (answer != TTrustAnswer::taCancel) {
                    const std::string& sha256 = question->Certificate.Sha256;
                    if (answer == TTrustAnswer::taAlways) {
                        RememberTrusted(host, portNumber, sha256);
                    }
                    tls.Verify = TIdTlsVerify::tvPin;
                    tls.PinnedSha256 = sha256;
                    remembered.clear();
                    limit.start(ConnectLimit);
                    continue;
                }
            }
            ShowDisconnectedLayout();
            ShowConnectionFailed(FailureReason(error));
            return;
        }
    }
    if (timedOut() || scope.Interrupted()) {
        return;
    }
    if (FWindowClosed) {
        // The window went while the connection was still being made, before
        // closing it could say goodbye to the server.
        btnDisconnectClick();
        return;
    }

    SetRemoteDir(remoteDir);
    SetLocalDir(localDir);
    btnRemoteRefreshClick();
    if (!scope.Interrupted()) {
        btnLocalRefreshClick();
    }
    limit.stop();
    if (timedOut() || scope.Interrupted()) {
        return;
    }
    btnConnect.setEnabled(false);
    btnDisconnect.setEnabled(true);
    SetPaneControlsEnabled(true);
}

void TfrmMain::ConnectToAddress(const QString& AUrl) {
    if (frmConnect) {
        frmConnect->FillFromUrl(AUrl);
    }
    btnConnect.click();
}

void TfrmMain::RememberTrusted(const std::string& AHost, int32_t APort,
                               const std::string& ASha256) {
    try {
        RememberCertificate(AHost, APort, ASha256);
    } catch (...) {
        // The session can still go ahead trusting it once; only the next
        // connect will ask again.
        Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                             FailureReason(std::current_exception()), TMsgIcon::miError,
                             TMsgButtons::mbOK);
    }
}

QString TfrmMain::RemoteFilesText(const QString& ADir) const {
    QString text =
        PickText(TWindowText::wtRemoteFiles) + QStringLiteral(" (") + ADir + QLatin1Char(')');
    if (sckFTP->Encrypted()) {
        text += QStringLiteral(" \u2014 ") + PickText(TWindowText::wtEncrypted) +
                QStringLiteral(" (") + QString::fromStdString(sckFTP->TlsProtocol()) +
                QLatin1Char(')');
    }
    return text;
}

void TfrmMain::btnDisconnectClick() {
    Disconnect();
    ShowDisconnectedLayout();
}

void TfrmMain::btnChangeModeClick() {
    TNetworkScope scope(*this);
    try {
        if (sckFTP->TransferType() == ftBinary) {
            sckFTP->ApplyTransferType(ftASCII);
            btnChangeMode.setText(PickText(TWindowText::wtModeToBinary));
        } else {
            sckFTP->ApplyTransferType(ftBinary);
            btnChangeMode.setText(PickText(TWindowText::wtModeToASCII));
        }
    } catch (...) {
        SessionGone(scope, std::current_exception());
    }
}

// ---- Batch loop -------------------------------------------------------------------

std::vector<TfrmMain::TBatchRow> TfrmMain::SelectedRows(const TFileListView& AList) {
    std::vector<TBatchRow> rows;
    for (const QTreeWidgetItem* row = AList.FirstSelectedRow(); row;
         row = AList.NextSelectedRow(row)) {
        rows.push_back({TFileListView::RowCaption(*row), TFileListView::RowArgument(*row),
                        TFileListView::RowSize(*row)});
    }
    return rows;
}

// The caller holds a network scope for the whole command.
void TfrmMain::RunBatchLoop(const std::vector<TBatchRow>& ARows, const TRowWork& AWork) {
    const auto count = static_cast<int32_t>(ARows.size());
    TFtpSession::RunBatchLoop(count, [&](int32_t AIndex) {
        // Escape stopped a folder: the rest of the batch stays undone too.
        if (!FEscaped) {
            AWork(ARows[static_cast<size_t>(AIndex - 1)], AIndex, count);
        }
    });
}

void TfrmMain::FinishBatch(const TNetworkScope& AScope, const std::function<void()>& ARefresh,
                           const QString& AFailed) {
    std::vector<std::pair<QString, QString>> failures;
    failures.swap(FRowFailures);
    FEscaped = false;
    if (TakeCancel()) {
        return;
    }
    // Disconnect while the confirmation was open: the window is already
    // in its disconnected layout.
    if (AScope.Interrupted()) {
        return;
    }
    SetPaneControlsEnabled(true);
    ARefresh();
    if (failures.empty() || AScope.Interrupted()) {
        return;
    }
    // One message for the whole batch: a thousand failed rows must not mean
    // a thousand boxes to click away.
    constexpr size_t Shown = 10;
    QString text = AFailed;
    for (size_t i = 0; i < failures.size() && i < Shown; ++i) {
        text += QStringLiteral("\n\"") + failures[i].first + QStringLiteral("\": ") +
                failures[i].second;
    }
    if (failures.size() > Shown) {
        const QString more = FormatCount(static_cast<int32_t>(failures.size() - Shown));
        text += QLatin1Char('\n') +
                PickText(QStringLiteral("... och %1 till."), QStringLiteral("... and %1 more."))
                    .arg(more);
    }
    Dialogs().MessageBox(this, PickText(TWindowText::wtError), text, TMsgIcon::miError,
                         TMsgButtons::mbOK);
}

bool TfrmMain::ConfirmDelete(const TFileListView& AList, TWindowText AFiles,
                             const TFolderPlan& APlan) {
    QString question = PickText(TWindowText::wtDeleteQuestion)
                           .arg(QString::number(AList.SelectedCount()), PickText(AFiles));
    if (!APlan.Names.isEmpty()) {
        question += QLatin1Char('\n') +
                    PickText(APlan.Names.size() == 1 ? TWindowText::wtFolderHoldsOne
                                                     : TWindowText::wtFolderHoldsMany)
                        .arg(FolderNames(APlan.Names), FileCountText(APlan.Files),
                             FormatSize(APlan.Bytes), FolderCountText(APlan.Subfolders));
    }
    return Dialogs().MessageBox(this, PickText(TWindowText::wtConfirm), question,
                                TMsgIcon::miQuestion, TMsgButtons::mbYesNo) == TMsgResult::mrYes;
}

void TfrmMain::NoteRowFailure(const std::string& AName, const QString& AReason) {
    // What Escape aborted failed on purpose.
    if (FEscaped) {
        return;
    }
    FRowFailures.emplace_back(ShowName(AName), AReason);
}

void TfrmMain::ShowDisconnectedLayout() {
    lvRemoteFiles.clear();
    SetFittedText(lblRemoteFiles, PickText(TWindowText::wtRemoteFiles));
    lvLocalFiles.clear();
    SetFittedText(lblLocalFiles, PickText(TWindowText::wtLocalFiles));
    lblTransfer.clear();
    lblProgress.clear();
    btnDisconnect.setEnabled(false);
    btnConnect.setEnabled(true);
    SetPaneControlsEnabled(false);
}

void TfrmMain::ShowConnectionFailed(const QString& AReason) {
    Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                         WithReason(PickText(QStringLiteral("Anslutningen misslyckades!"),
                                             QStringLiteral("The connection failed!")),
                                    AReason),
                         TMsgIcon::miError, TMsgButtons::mbOK);
}

void TfrmMain::ShowCommandFailure(const QString& AText, const QString& ASubject,
                                  const QString& AReason) {
    Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                         WithReason(AText.arg(ASubject), AReason), TMsgIcon::miError,
                         TMsgButtons::mbOK);
}

bool TfrmMain::SessionGone(const TNetworkScope& AScope, const std::exception_ptr& AError) {
    if (AScope.Interrupted()) {
        return true;
    }
    if (SessionConnected()) {
        return false;
    }
    // The server went away (or the network did): noticed now, at the first
    // command that needed it. A running batch stops after this row.
    ConnectionLost();
    ShowDisconnectedLayout();
    ShowConnectionFailed(FailureReason(AError));
    return true;
}
