// Session control: Connect, Disconnect, the transfer type, the batch loop
// that Disconnect can stop, and the guard that keeps a waiting network call's
// connection alive until the call has unwound.
#include "Connect.h"
#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IniFile.h"
#include "Main.h"

#include <QCoreApplication>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <stdexcept>

namespace {

const char* const Section = "Main";

// The whole text must be a decimal number that fits the port field's type.
int32_t PortFromText(const std::string& AText) {
    if (AText.empty()) {
        throw std::invalid_argument("empty port");
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(AText.c_str(), &end, 10);
    if (errno != 0 || end != AText.c_str() + AText.size() || value < INT32_MIN ||
        value > INT32_MAX) {
        throw std::invalid_argument("port is not a number");
    }
    return static_cast<int32_t>(value);
}

} // namespace

// ---- Network scope ------------------------------------------------------------------

TfrmMain::TNetworkScope::TNetworkScope(TfrmMain& AOwner)
    : FOwner(AOwner), FSession(AOwner.FSession) {
    ++FOwner.FNetworkDepth;
}

TfrmMain::TNetworkScope::~TNetworkScope() {
    if (--FOwner.FNetworkDepth == 0 && FOwner.FEndSessionPending) {
        FOwner.FEndSessionPending = false;
        try {
            FOwner.sckFTP->EndSession();
        } catch (...) {
        }
    }
}

bool TfrmMain::TNetworkScope::Interrupted() const {
    return FOwner.FSession != FSession;
}

void TfrmMain::RunUserCommand(const std::function<void()>& ACommand) {
    if (FNetworkDepth > 0) {
        return;
    }
    RunGuarded(ACommand);
}

void TfrmMain::ProcessMessages() {
    QCoreApplication::processEvents();
}

bool TfrmMain::SessionConnected() const {
    return sckFTP && sckFTP->IsConnected();
}

// Ends the session now when no call below us uses the connection; otherwise
// says goodbye, closes the socket so the waiting call fails, and leaves the
// freeing to the outermost network scope.
void TfrmMain::EndSessionNow(int AHeldByCaller) {
    if (FNetworkDepth <= AHeldByCaller) {
        try {
            sckFTP->EndSession();
        } catch (...) {
        }
        return;
    }
    try {
        if (sckFTP->IsConnected()) {
            sckFTP->WriteLine("QUIT");
        }
    } catch (...) {
    }
    // A call may be waiting on the data connection rather than on the
    // control connection.
    if (TIdTCPConnection* data = sckFTP->DataConnection()) {
        data->DropSocket();
    }
    sckFTP->DropSocket();
    FEndSessionPending = true;
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
    const std::string password = DecodePassword(ini.ReadString(Section, "Password", ""));
    if (password.empty()) {
        return;
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

    try {
        sckFTP->SetHost(host);
        sckFTP->SetPort(PortFromText(port));
        sckFTP->Username = user;
        sckFTP->Password = password;
        sckFTP->Passive = passive;
        sckFTP->OpenSession(true, -1);
    } catch (...) {
        // Closing the window during the login ended the attempt on purpose.
        if (scope.Interrupted() || FWindowClosed) {
            return;
        }
        Dialogs().MessageBox(this, PickText(QStringLiteral("Fel!"), QStringLiteral("Error!")),
                             PickText(QStringLiteral("Anslutningen misslyckades!"),
                                      QStringLiteral("The connection failed!")),
                             TMsgIcon::miError, TMsgButtons::mbOK);
        return;
    }
    if (scope.Interrupted()) {
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
    btnLocalRefreshClick();
    if (scope.Interrupted()) {
        return;
    }
    btnConnect.setEnabled(false);
    btnDisconnect.setEnabled(true);
    SetPaneControlsEnabled(true);
}

void TfrmMain::btnDisconnectClick() {
    ++FSession;
    if (Busy) {
        // A second request (closing the window after Disconnect) has nothing
        // left to abort.
        if (!CancelRequested) {
            CancelRequested = true;
            sckFTP->AbortTransfer();
        }
    } else {
        EndSessionNow(0);
    }

    lvRemoteFiles.clear();
    SetFittedText(lblRemoteFiles,
                  PickText(QStringLiteral("Värddatorns filer:"), QStringLiteral("Remote files:")));
    lvLocalFiles.clear();
    SetFittedText(lblLocalFiles,
                  PickText(QStringLiteral("Lokala filer:"), QStringLiteral("Local files:")));
    lblTransfer.clear();
    lblProgress.clear();
    btnDisconnect.setEnabled(false);
    btnConnect.setEnabled(true);
    SetPaneControlsEnabled(false);
}

void TfrmMain::btnChangeModeClick() {
    TNetworkScope scope(*this);
    try {
        if (sckFTP->TransferType() == ftBinary) {
            sckFTP->ApplyTransferType(ftASCII);
            btnChangeMode.setText(PickText(QStringLiteral("&Växla läge till binärt!"),
                                           QStringLiteral("Change &mode to binary!")));
        } else {
            sckFTP->ApplyTransferType(ftBinary);
            btnChangeMode.setText(PickText(QStringLiteral("&Växla läge till ASCII!"),
                                           QStringLiteral("Change &mode to ASCII!")));
        }
    } catch (...) {
    }
}

// ---- Batch loop -------------------------------------------------------------------

// The caller holds a network scope for the whole command.
bool TfrmMain::RunBatchLoop(const TFileListView& AList, const TRowWork& AWork) {
    Busy = true;
    std::vector<TBatchRow> rows;
    for (const QTreeWidgetItem* row = AList.FirstSelectedRow(); row;
         row = AList.NextSelectedRow(row)) {
        rows.push_back({TFileListView::RowCaption(*row), TFileListView::RowArgument(*row)});
    }
    const auto count = static_cast<int32_t>(rows.size());
    bool cancelled = false;
    for (int32_t i = 0; i < count; ++i) {
        AWork(rows[static_cast<size_t>(i)], i + 1, count);
        ProcessMessages();
        if (CancelRequested) {
            EndSessionNow(1);
            cancelled = true;
            break;
        }
    }
    Busy = false;
    return !cancelled;
}

void TfrmMain::FinishBatch(const TNetworkScope& AScope, const std::function<void()>& ARefresh) {
    if (CancelRequested) {
        CancelRequested = false;
        return;
    }
    // Disconnect while the confirmation was open: the window is already
    // in its disconnected layout.
    if (AScope.Interrupted()) {
        return;
    }
    SetPaneControlsEnabled(true);
    ARefresh();
}
