#pragma once

#include "Dialogs.h"
#include "FileList.h"
#include "IdComponent.h"
#include "IdFTPTree.h"
#include "Session.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QPainter;
class TIdAntiFreeze;

// ---- Language -------------------------------------------------------------

// AArguments are the arguments after the program's name. A first argument of
// "/SWEDISH" in any case gives Swedish and any other first argument English;
// with none, the first of LC_ALL, LC_MESSAGES and LANG that is set and not
// empty decides (Swedish when it starts with "sv_SE"). An address to connect
// to is no language choice: it is left out first, so that a link opened from
// the desktop follows the locale and "/SWEDISH" may stand on either side of it.
bool DecideSwedish(const QStringList& AArguments);
// An argument that names a server to connect to: it starts with "ftp:" or
// "ftps:" in any case, or has "://" in it (which names some other scheme).
bool IsAddressArgument(const QString& AArgument);
// The first such argument; empty when there is none.
QString AddressArgument(const QStringList& AArguments);
// Decided once from the program's arguments unless SetSwedish chose already.
bool IsSwedish();
void SetSwedish(bool ASwedish);
QString PickText(const QString& ASwedish, const QString& AEnglish);
// The texts the window says in more than one place, or sets in both languages.
enum class TWindowText {
    wtConnect,
    wtDisconnect,
    wtTransfer,
    wtProgress,
    wtModeToASCII,
    wtModeToBinary,
    wtRemoteFiles,
    wtRemoteRefresh,
    wtCreateDirectory,
    wtDownload,
    wtLocalFiles,
    wtLocalRefresh,
    wtBrowse,
    wtUpload,
    wtFilename,
    wtSize,
    wtName,
    wtPath,
    wtError,
    wtConfirm,
    wtDeleteQuestion,
    wtRemoteFileCount,
    wtLocalFileCount,
    wtEntriesNotDeleted,
    wtChooseDirectory,
    wtPortRange,
    // The encryption row of the connect dialog, in the order of TIdFtpTlsMode.
    wtEncryption,
    wtTlsNone,
    wtTlsExplicitIfAvailable,
    wtTlsExplicitRequired,
    wtTlsImplicit,
    // The remote pane's label while the session runs over TLS.
    wtEncrypted,
    // The certificate prompt.
    wtCertificateTitle,
    wtCertificateUnverified,
    wtCertificateChanged,
    wtCertificateServer,
    wtCertificateSubject,
    wtCertificateIssuer,
    wtCertificateValidFrom,
    wtCertificateValidUntil,
    wtCertificateFingerprint,
    wtCertificateReason,
    wtTrustOnce,
    wtTrustAlways,
    wtCancel,
    // An address given at start-up that cannot be read: the message, the
    // parts a fault can be in, and the faults in the order of TFtpUrlFault.
    wtAddressUnreadable,
    wtAddressUser,
    wtAddressPassword,
    wtAddressPath,
    wtAddressControlCharacter,
    wtAddressScheme,
    wtAddressBrokenEscape,
    wtAddressForbiddenByte,
    wtAddressEmptyUser,
    wtAddressUnclosedBracket,
    wtAddressNotIPv6,
    wtAddressAfterIPv6,
    wtAddressNoHost,
    wtAddressNotHostName,
    wtAddressPort,
    // The context menu of the two lists, and what its commands ask.
    wtMenuDownload,
    wtMenuUpload,
    wtMenuDelete,
    wtMenuRename,
    wtMenuCreateDirectory,
    wtMenuRefresh,
    wtCreateDirectoryTitle,
    wtTypeName,
    wtRenameTitle,
    wtNewName,
    wtNotRenamed,
    wtNotCreated,
    wtNameTaken,
    wtNameUnusable,
    // Folders in a selection.
    wtFolderQuestionOne,
    wtFolderQuestionMany,
    wtDownloadVerb,
    wtUploadVerb,
    wtFolderHoldsOne,
    wtFolderHoldsMany,
    wtFileCountOne,
    wtFileCountMany,
    wtFolderCountOne,
    wtFolderCountMany,
    wtNamesAndMore,
    wtCounting,
    wtEscapeCancels,
    wtDeleting,
    // The question when a transfer's target exists, and the batch's summary.
    wtFileExistsTitle,
    wtFileExistsLocal,
    wtFileExistsRemote,
    wtOverwrite,
    wtResume,
    wtSkip,
    wtForAllFiles,
    wtCheckSummary,
    // Why an entry of a folder was left out.
    wtSkipName,
    wtSkipLink,
    wtSkipLoop,
    wtSkipDepth,
    wtSkipNotRegular,
};
QString PickText(TWindowText AText);

// "Downloading 2 of 5...": AVerb, then which of how many.
QString BatchText(const QString& AVerb, int32_t AIndex, int32_t ACount);
// "312 files", "1 folder": a count with its noun, in the window's language.
QString FileCountText(int64_t ACount);
QString FolderCountText(int64_t ACount);
// Folder names for a question: quoted, the first few, then how many more.
QString FolderNames(const QStringList& ANames);

// Start-up: the application's title, and the toolkit's own texts (the
// buttons of message boxes, the folder dialog) in the window's language.
// Call again after SetSwedish to follow a new choice.
void InitialiseApplication();

// Tahoma 8 point (11 pixels) when installed, else the platform's sans font
// at the same pixel height.
QFont ProgramFont();

// The texts a directory path gets in the local pane: the user's home folder
// stands where the classic default named a drive's root.
QString DefaultLocalDirectory();

// Why an operation failed, for the line beneath a message: the server's reply
// line, the system's error text, or the library's message.
QString FailureReason(const std::exception_ptr& AError);

// ---- Painting ---------------------------------------------------------------
// One-pixel lines in the window's three-dimensional colours: highlight is the
// palette's Light role, shadow its Dark role.

void PaintWindowFrame(QPainter& APainter, const QWidget& AWindow);
void PaintControlFrame(QPainter& APainter, const QWidget& AWindow, const QWidget& AControl,
                       bool ARaised);
void PaintSeparator(QPainter& APainter, const QWidget& AWindow, int X1, int Y, int X2);

// ---- Last-resort error handling ---------------------------------------------

// Catches what escapes an event handler and passes it to the installed
// handler, so that one failing command cannot take the event loop down.
class TQuorvanApplication : public QApplication {
public:
    TQuorvanApplication(int& argc, char** argv);
    bool notify(QObject* AReceiver, QEvent* AEvent) override;
};

using TUnexpectedErrorHandler = std::function<void(std::exception_ptr)>;
void SetUnexpectedErrorHandler(TUnexpectedErrorHandler AHandler);
void ReportUnexpectedError(std::exception_ptr AError);

// Runs an event handler of ours and hands what escapes it to the installed
// handler before it can unwind through the toolkit's own frames, which are
// not built to be unwound through (they would leak or be left half-done).
// The notify override stays as the backstop for anything else.
void RunGuarded(const std::function<void()>& AHandler);

// ---- Main window ----------------------------------------------------------------

class TfrmMain : public QWidget, public TFtpSession {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* AParent = nullptr);
    ~TfrmMain() override;

    // Program-wide state that the commands share.
    QString CurrentRemoteDir = QStringLiteral("/");
    QString CurrentLocalDir = DefaultLocalDirectory();
    // Milliseconds that Connect may take for the greeting, the sign-in and the
    // first listing together; Disconnect ends it sooner.
    int32_t ConnectLimit = 30000;
    // Milliseconds between two paints of the window at the most.
    int PaintInterval = 20;

    void SetPaneControlsEnabled(bool AEnabled);
    // The lists and the buttons that work on them, and the mode button.
    std::vector<QWidget*> PaneControls();
    void HandleUnexpectedError(std::exception_ptr AError);

    // Window events.
    void FormCreate();
    void FormPaint(QPainter& APainter);
    void FormClose();

    // Commands.
    void btnConnectClick();
    // Connect with the dialog filled in from an ftp:// or ftps:// address
    // (see TfrmConnect::FillFromUrl); it waits for OK as usual.
    void ConnectToAddress(const QString& AUrl);
    void btnDisconnectClick();
    void btnChangeModeClick();
    void btnRemoteRefreshClick();
    void btnRemoteCreateDirectoryClick();
    void btnRemoteDownloadClick();
    void lvRemoteFilesDblClick();
    void lvRemoteFilesKeyDown(int AKey);
    void btnLocalRefreshClick();
    void btnLocalBrowseClick();
    void btnLocalUploadClick();
    void lvLocalFilesDblClick();
    void lvLocalFilesKeyDown(int AKey);
    // F2 and the context menu: a new name for the first selected row.
    void lvRemoteFilesRename();
    void lvLocalFilesRename();
    // The context menu: a new folder in the local directory.
    void LocalCreateDirectory();

    // Progress display, driven by the FTP client's work events.
    void sckFTPWorkBegin(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCountMax);
    void sckFTPWork(TIdComponent* Sender, TWorkMode AWorkMode, int64_t AWorkCount);
    void sckFTPWorkEnd(TIdComponent* Sender, TWorkMode AWorkMode);

    void FillLocalList(const QString& ADirectory);
    // From the file system's records, never by opening the file; 0 when
    // there are none or the entry is no regular file.
    static int64_t GetLocalFileSize(const QString& APath);

    // Each group box is declared before the label it holds, so it outlives it.
    QLabel lblTitle;
    QPushButton btnConnect;
    QPushButton btnDisconnect;
    QGroupBox gbTransfer;
    QLabel lblTransfer;
    QGroupBox gbProgress;
    QLabel lblProgress;
    QPushButton btnChangeMode;
    QLabel lblRemoteFiles;
    TFileListView lvRemoteFiles;
    QPushButton btnRemoteRefresh;
    QPushButton btnRemoteCreateDirectory;
    QPushButton btnRemoteDownload;
    QLabel lblLocalFiles;
    TFileListView lvLocalFiles;
    QPushButton btnLocalRefresh;
    QPushButton btnLocalBrowse;
    QPushButton btnLocalUpload;
    // Beneath the progress box: how far the current file is, and how fast.
    QProgressBar pbTransfer;
    QLabel lblTransferDetails;

    std::unique_ptr<TIdAntiFreeze> afMain;

    // The two pane labels are sized to their text.
    static void SetFittedText(QLabel& ALabel, const QString& AText);

protected:
    bool event(QEvent* AEvent) override;
    void paintEvent(QPaintEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    // What sckFTPWork last put into lblProgress and the size key it showed,
    // so that chunks which would not change the text do not reformat it.
    QString FShownProgress;
    int64_t FShownSizeKey = -1;
    // When the work handler last processed pending messages.
    QElapsedTimer FWorkPumped;
    // Texts change far faster than anyone can read them (four label changes
    // per small file, a new count per chunk), and each repaint costs more than
    // the work: the window is painted at most once per PaintInterval, always
    // with the texts current at that moment. No control ever has its updates
    // switched off, so no label is left blank by a paint of what lies under it.
    QElapsedTimer FPainted;
    QTimer FPaintLater;

    // The progress bar's state for the file being transferred.
    int64_t FExpectedSize = -1; // from the listing or the local file; -1 unknown
    bool FTrackingFile = false;
    QElapsedTimer FFileStarted;
    QElapsedTimer FDetailsShown;
    struct TRateSample {
        qint64 Ms;
        int64_t Count;
    };
    std::vector<TRateSample> FRateSamples;
    void ShowTransferDetails(int64_t ACount, bool AForce);
    void HideTransferDetails();
    // After a transfer batch: the remote pane, then the local one while connected.
    void RefreshBothPanes(const TNetworkScope& AScope);

    // One selected row as the batch loop saw it when it started. The loop
    // works on copies because Disconnect, run from inside a network wait,
    // empties the list under it.
    struct TBatchRow {
        QString Caption;
        std::string Argument;
        int64_t Size;
    };
    using TRowWork = std::function<void(const TBatchRow& ARow, int32_t AIndex, int32_t ACount)>;
    static std::vector<TBatchRow> SelectedRows(const TFileListView& AList);
    void RunBatchLoop(const std::vector<TBatchRow>& ARows, const TRowWork& AWork);
    // The selected rows of the remote pane downloaded, or of the local pane uploaded.
    void TransferBatch(bool ADownload);
    void DownloadRow(const TNetworkScope& AScope, const TBatchRow& ARow);
    void UploadRow(const TNetworkScope& AScope, const TBatchRow& ARow);
    // The end of the loop's protocol: hands the window back and refreshes,
    // then names the rows that failed and why.
    void FinishBatch(const TNetworkScope& AScope, const std::function<void()>& ARefresh,
                     const QString& AFailed);
    // ---- Folders among the selected rows: counted, asked about, then moved
    // or deleted whole.
    enum class TTreeJob { tjDownload, tjUpload, tjDeleteRemote, tjDeleteLocal };
    struct TFolderPlan {
        // Per selected row: the folder's tree once counted; none for files,
        // the parent entry, and folders that could not be counted.
        std::vector<std::optional<TIdTree>> Trees;
        // Per selected row: a folder that could not be counted (said already).
        std::vector<bool> Failed;
        // Per selected row: what the count skipped or could not list.
        std::vector<std::vector<TIdTreeIssue>> Issues;
        QStringList Names;
        int64_t Files = 0;
        int64_t Bytes = 0;
        // Below the counted folders themselves.
        int64_t Subfolders = 0;
    };
    // Counts the folders among ARows. False when the command must stop:
    // Disconnect, Escape, or the session went. ADelete: a link to a local
    // folder is no folder to empty, but a link to remove.
    bool CountFolders(const TNetworkScope& AScope, const std::vector<TBatchRow>& ARows,
                      bool ARemote, bool ADelete, TFolderPlan& VPlan);
    // Download or upload: whether the counted folders go as trees.
    bool ConfirmFolders(const TFolderPlan& APlan, bool ADownload);
    // One counted folder moved or deleted whole; its skips and failures
    // join the batch's failures.
    void RunTree(const TNetworkScope& AScope, const TBatchRow& ARow, const TFolderPlan& APlan,
                 size_t ARowIndex, TTreeJob AJob);
    // The walker's figures into the window, and a chance for the window to answer.
    void PrepareWalker(TIdFTPTreeWalker& AWalker);
    void ShowTreeProgress(const TIdTreeProgress& AProgress, bool AForce);
    // True when the running count or tree must stop.
    bool BreatheDuringTree();
    // Escape: the running batch (a count, a tree, a file) stops after
    // aborting what moves, and the session stays.
    void CancelBatch();
    TIdFTPTreeWalker* FWalker = nullptr;
    bool FEscaped = false;
    // Set while a tree is moved or deleted; none while folders are counted.
    std::optional<TTreeJob> FTreeJob;
    // Figures of the trees of the batch done before the running one, and of all.
    int64_t FTreeFilesBefore = 0;
    int64_t FTreeBytesBefore = 0;
    int64_t FTreeFilesTotal = 0;
    int64_t FTreeBytesTotal = 0;
    QElapsedTimer FTreeShown;
    int64_t FTreeShownFiles = -1;

    // The Delete key in either pane: the selection counted (folders with
    // what they hold), asked about, then each row deleted, a counted folder
    // whole, any other row by ADeleteRow.
    void DeleteSelectedRows(const TNetworkScope& AScope, bool ARemote,
                            const std::function<void(const TBatchRow& ARow)>& ADeleteRow);
    // Asks before the selected rows of AList are deleted; AFiles names them,
    // and what the counted folders hold is named beneath.
    bool ConfirmDelete(const TFileListView& AList, TWindowText AFiles, const TFolderPlan& APlan);
    // A row of the running batch failed for AReason.
    void NoteRowFailure(const std::string& AName, const QString& AReason);
    std::vector<std::pair<QString, QString>> FRowFailures;

    // Runs a command that the user started when CanStartCommand allows it.
    void RunUserCommand(const std::function<void()>& ACommand);
    // Turns the listing the client just received into rows; false when
    // Disconnect (or closing the window) ended the session meanwhile.
    bool FillRemoteList(const TNetworkScope& AScope);
    void ProcessMessages() override;
    void ShowDisconnectedLayout();
    void ShowConnectionFailed(const QString& AReason);
    // After a network operation of AScope failed: true when the session is
    // gone, either ended by the user or lost, in which case the window is
    // in its disconnected layout and a lost connection has been reported.
    bool SessionGone(const TNetworkScope& AScope, const std::exception_ptr& AError);
    // One network call of a command; AFailed hears of a failure that left the
    // session standing. False when the command must stop: the session is gone.
    bool NetworkStep(const TNetworkScope& AScope, const std::function<void()>& ACall,
                     const std::function<void(const std::exception_ptr&)>& AFailed = {});
    bool FConnectTimedOut = false;
    // "Always trust": kept in the settings; a file that cannot be written
    // is reported and the connect goes on.
    void RememberTrusted(const std::string& AHost, int32_t APort, const std::string& ASha256);
    // The remote pane's label for ADir, saying whether the session is encrypted.
    QString RemoteFilesText(const QString& ADir) const;
    // A single command that failed for AReason: %1 in the text is ASubject.
    void ShowCommandFailure(const QString& AText, const QString& ASubject, const QString& AReason);

    // The context menu of a list, at AAt in its viewport.
    void ShowListMenu(TFileListView& AList, const QPoint& AAt);
    // The name a row stands for in its folder: the listed name, or the last
    // part of a local path.
    static std::string RowEntryName(const std::string& AArgument);
    // Whether ANewName may become a new entry of the folder AList shows; says
    // why not when it may not.
    bool UsableNewName(const TFileListView& AList, const std::string& ANewName);
    // Asks for a new name for the entry AName of AList; false when the user
    // cancelled, kept the name, or typed one that cannot be used (said then).
    bool AskNewName(const TFileListView& AList, const std::string& AName, std::string& VNewName);

    // The directories as bytes (names on the server and on disk are bytes);
    // CurrentRemoteDir and CurrentLocalDir hold their decoded faces. Code that
    // sets the text alone is taken at its word (as UTF-8).
    void SetRemoteDir(const std::string& ABytes);
    void SetLocalDir(const std::string& ABytes);
    std::string RemoteDirBytes() const;
    std::string LocalDirBytes() const;
    void ShowDirectoryRefusal(const std::string& AArgument, bool ADownload);

    // Resume, check and reconnect (MainResume.cpp).
    // The target of a transfer exists: how the user wants it treated.
    // ATargetSize and ASourceSize in bytes; the answer for all files of the
    // batch is kept once given.
    TFileExistsAnswer AskFileExists(const std::string& AName, bool ADownload, int64_t ATargetSize,
                                    int64_t ASourceSize, bool ABatch);
    // The remote pane's size of the file AName; -1 when it lists none.
    int64_t ListedRemoteSize(const std::string& AName) const;
    void StartCheckCount();
    // Counts the check the last transfer passed.
    void NoteCheck();
    void ShowCheckSummary();
    // Runs ACall; when it fails because the server ended the session while
    // the user was idle, the session is opened again with the same settings
    // and ACall runs once more, without a message.
    void CallReconnecting(const TNetworkScope& AScope, const std::function<void()>& ACall);
    bool EndedWhileIdle(const std::exception_ptr& AError) const;
    std::optional<TFileExistsAnswer> FExistsForAll;
    int32_t FCheckedBySize = 0;
    int32_t FCheckedByDigest = 0;
    std::string FRemoteDirBytes = "/";
    std::string FLocalDirBytes;
    bool FWindowClosed = false;
};

// The running program's main window; set while one exists.
extern TfrmMain* frmMain;

// Windows virtual-key numbers of the keys the lists react to.
constexpr int VK_RETURN = 13;
constexpr int VK_DELETE = 46;
constexpr int VK_F2 = 113;
constexpr int VK_F5 = 116;
