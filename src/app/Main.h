#pragma once

#include "FileList.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>

class QPainter;
class TIdAntiFreeze;

// ---- Language -------------------------------------------------------------

// AArguments are the arguments after the program's name. A first argument of
// "/SWEDISH" in any case gives Swedish and any other first argument English;
// with none, the first of LC_ALL, LC_MESSAGES and LANG that is set and not
// empty decides (Swedish when it starts with "sv_SE").
bool DecideSwedish(const QStringList& AArguments);
// Decided once from the program's arguments unless SetSwedish chose already.
bool IsSwedish();
void SetSwedish(bool ASwedish);
QString PickText(const QString& ASwedish, const QString& AEnglish);

// Tahoma 8 point (11 pixels) when installed, else the platform's sans font
// at the same pixel height.
QFont ProgramFont();

// The texts a directory path gets in the local pane: the user's home folder
// stands where the classic default named a drive's root.
QString DefaultLocalDirectory();

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

class TfrmMain : public QWidget {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* AParent = nullptr);
    ~TfrmMain() override;

    // Program-wide state that the commands share.
    QString CurrentRemoteDir = QStringLiteral("/");
    QString CurrentLocalDir = DefaultLocalDirectory();
    bool Busy = false;
    bool CancelRequested = false;

    void SetPaneControlsEnabled(bool AEnabled);
    void HandleUnexpectedError(std::exception_ptr AError);

    // Window events.
    void FormCreate();
    void FormPaint(QPainter& APainter);
    void FormClose();

    // Commands.
    void btnConnectClick();
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

    std::unique_ptr<TIdAntiFreeze> afMain;

    // The two pane labels are sized to their text.
    static void SetFittedText(QLabel& ALabel, const QString& AText);

protected:
    // Whether the FTP client holds an open control connection.
    virtual bool SessionConnected() const { return false; }

    void paintEvent(QPaintEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    bool FHandlingError = false;
};

// The running program's main window; set while one exists.
extern TfrmMain* frmMain;

// Windows virtual-key numbers of the keys the lists react to.
constexpr int VK_RETURN = 13;
constexpr int VK_DELETE = 46;
constexpr int VK_F5 = 116;
