#include "Main.h"

#include "Dialogs.h"
#include "FileRows.h"
#include "IdAntiFreeze.h"
#include "IdFTP.h"
#include "Pictures.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QDir>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLibraryInfo>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QTranslator>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

TfrmMain* frmMain = nullptr;

namespace {

std::optional<bool> gSwedish;
TUnexpectedErrorHandler gUnexpectedErrorHandler;

const char* const Caption = "Quorvan FTP 1.0";

} // namespace

bool IsAddressArgument(const QString& AArgument) {
    return AArgument.startsWith(QLatin1String("ftp:"), Qt::CaseInsensitive) ||
           AArgument.startsWith(QLatin1String("ftps:"), Qt::CaseInsensitive) ||
           AArgument.contains(QLatin1String("://"));
}

QString AddressArgument(const QStringList& AArguments) {
    for (const QString& argument : AArguments) {
        if (IsAddressArgument(argument)) {
            return argument;
        }
    }
    return {};
}

bool DecideSwedish(const QStringList& AArguments) {
    for (const QString& argument : AArguments) {
        if (!IsAddressArgument(argument)) {
            return argument.toUpper() == QStringLiteral("/SWEDISH");
        }
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            return QByteArray(value).startsWith("sv_SE");
        }
    }
    return false;
}

bool IsSwedish() {
    if (!gSwedish) {
        gSwedish = DecideSwedish(QCoreApplication::arguments().mid(1));
    }
    return *gSwedish;
}

void SetSwedish(bool ASwedish) {
    gSwedish = ASwedish;
}

QString PickText(const QString& ASwedish, const QString& AEnglish) {
    return IsSwedish() ? ASwedish : AEnglish;
}

namespace {

// In the order of TWindowText: Swedish, then English.
constexpr const char* WindowTexts[][2] = {
    {"&Anslut...", "&Connect..."},
    {"&Koppla från!", "Di&sconnect!"},
    {"Överföring:", "Transfer:"},
    {"Förlopp:", "Progress:"},
    {"&Växla läge till ASCII!", "Change &mode to ASCII!"},
    {"&Växla läge till binärt!", "Change &mode to binary!"},
    {"Värddatorns filer:", "Remote files:"},
    {"&Uppdatera!", "&Refresh!"},
    {"&Skapa katalog...", "Cr&eate directory..."},
    {"Ladda &ner markerade filer!", "&Download selected files!"},
    {"Lokala filer:", "Local files:"},
    {"Upp&datera!", "Re&fresh!"},
    {"&Bläddra...", "&Browse..."},
    {"&Ladda upp markerade filer!", "&Upload selected files!"},
    {"Filnamn", "Filename"},
    {"Storlek", "Size"},
    {"Namn", "Name"},
    {"Sökväg", "Path"},
    {"Fel!", "Error!"},
    {"Bekräfta", "Confirm"},
    {"Vill du ta bort %1 %2?", "Do you want to delete %1 %2?"},
    {"fil(er) från värddatorn", "remote file(s)"},
    {"lokala fil(er)", "local file(s)"},
    {"Några poster kunde inte tas bort:", "Some entries could not be deleted:"},
    {"Välj katalog:", "Choose directory:"},
    {"Porten måste vara ett tal från 1 till 65535.", "The port must be a number from 1 to 65535."},
    {"Kryptering:", "Encryption:"},
    {"Bara vanlig FTP (osäker)", "Only plain FTP (insecure)"},
    {"Explicit TLS om möjligt", "Explicit TLS if available"},
    {"Kräv explicit TLS", "Require explicit TLS"},
    {"Kräv implicit TLS", "Require implicit TLS"},
    {"krypterad", "encrypted"},
    {"Servercertifikat", "Server certificate"},
    {"Serverns certifikat kunde inte verifieras. Lita bara på det om du känner igen "
     "fingeravtrycket.",
     "The server's certificate could not be verified. Trust it only if you recognise its "
     "fingerprint."},
    {"Serverns certifikat har ändrats sedan du valde att alltid lita på det. Lita bara på "
     "det nya om du vet varför det ändrades.",
     "The server's certificate has changed since you chose to always trust it. Trust the new "
     "one only if you know why it changed."},
    {"Server:", "Server:"},
    {"Utfärdat för:", "Subject:"},
    {"Utfärdat av:", "Issuer:"},
    {"Giltigt från:", "Valid from:"},
    {"Giltigt till:", "Valid until:"},
    {"SHA-256:", "SHA-256:"},
    {"Orsak:", "Reason:"},
    {"Lita på &en gång", "Trust &once"},
    {"Lita &alltid", "&Always trust"},
    {"Avbryt", "Cancel"},
    {"Adressen \"%1\" kan inte läsas: %2", "The address \"%1\" cannot be read: %2"},
    {"användarnamnet", "user name"},
    {"lösenordet", "password"},
    {"sökvägen", "path"},
    {"den innehåller ett styrtecken.", "it contains a control character."},
    {"den måste börja med ftp:// eller ftps://.", "it must begin with ftp:// or ftps://."},
    {"%1 har en trasig %-kod.", "the %1 has a broken %-escape."},
    {"%1 innehåller en NUL-, CR- eller LF-byte.", "the %1 contains a NUL, CR or LF byte."},
    {"användarnamnet före \"@\" är tomt.", "the user name before \"@\" is empty."},
    {"\"]\" saknas efter IPv6-adressen.", "the \"]\" after the IPv6 address is missing."},
    {"\"%1\" är ingen IPv6-adress.", "\"%1\" is not an IPv6 address."},
    {"oväntad text efter IPv6-adressen.", "unexpected text after the IPv6 address."},
    {"den anger ingen värddator.", "it names no host."},
    {"\"%1\" är inget namn på en värddator.", "\"%1\" is not a host name."},
    {"porten \"%1\" är inget tal från 1 till 65535.",
     "the port \"%1\" is not a number from 1 to 65535."},
    {"Ladda &ner", "Do&wnload"},
    {"&Ladda upp", "&Upload"},
    {"&Ta bort\tDel", "&Delete\tDel"},
    {"&Byt namn...\tF2", "&Rename...\tF2"},
    {"&Skapa katalog...", "Create d&irectory..."},
    {"&Uppdatera\tF5", "Re&fresh\tF5"},
    {"Skapa katalog...", "Create directory..."},
    {"Ange ett namn:", "Type a name:"},
    {"Byt namn...", "Rename..."},
    {"Nytt namn:", "New name:"},
    {"Det gick inte att byta namn på \"%1\".", "\"%1\" could not be renamed."},
    {"Katalogen \"%1\" kunde inte skapas.", "The directory \"%1\" could not be created."},
    {"Det finns redan en post med namnet \"%1\".", "An entry named \"%1\" exists already."},
    {"Namnet \"%1\" kan inte användas.", "The name \"%1\" cannot be used."},
    {"%1 katalogen %2 med %3 (%4)?", "%1 the folder %2 with %3 (%4)?"},
    {"%1 katalogerna %2 med %3 (%4)?", "%1 the folders %2 with %3 (%4)?"},
    {"Ladda ner", "Download"},
    {"Ladda upp", "Upload"},
    {"Katalogen %1 innehåller %2 (%3) och %4; allt tas bort.",
     "The folder %1 holds %2 (%3) and %4; all of it is deleted."},
    {"Katalogerna %1 innehåller %2 (%3) och %4; allt tas bort.",
     "The folders %1 hold %2 (%3) and %4; all of it is deleted."},
    {"%1 fil", "%1 file"},
    {"%1 filer", "%1 files"},
    {"%1 underkatalog", "%1 subfolder"},
    {"%1 underkataloger", "%1 subfolders"},
    {"%1 och %2 till", "%1 and %2 more"},
    {"Räknar...", "Counting..."},
    {"Esc avbryter", "Esc cancels"},
    {"Tar bort", "Deleting"},
    {"Filen finns redan", "File exists"},
    {"Den lokala filen \"%1\" finns redan (%2). Filen på värddatorn är %3.",
     "The local file \"%1\" already exists (%2). The remote file is %3."},
    {"Filen \"%1\" finns redan på värddatorn (%2). Den lokala filen är %3.",
     "The file \"%1\" already exists on the server (%2). The local file is %3."},
    {"&Skriv över", "&Overwrite"},
    {"&Fortsätt", "&Resume"},
    {"&Hoppa över", "S&kip"},
    {"Gör likadant för &alla filer", "Do this for &all files"},
    {"Kontrollerade: %1 fil(er) med storlek, %2 med kontrollsumma.",
     "Checked: %1 file(s) by size, %2 by digest."},
    {"ett namn som inte kan användas som filnamn", "a name that cannot be used as a file name"},
    {"en länk; följs inte", "a link; not followed"},
    {"en katalog som redan gåtts igenom; gås inte igenom igen",
     "a directory already walked; not walked again"},
    {"djupare än %1 nivåer; gås inte igenom", "deeper than %1 levels; not walked"},
    {"ingen vanlig fil", "not a regular file"},
};
static_assert(std::size(WindowTexts) == static_cast<size_t>(TWindowText::wtSkipNotRegular) + 1);

} // namespace

QString PickText(TWindowText AText) {
    const auto& pair = WindowTexts[static_cast<size_t>(AText)];
    return QString::fromUtf8(pair[IsSwedish() ? 0 : 1]);
}

QString FileCountText(int64_t ACount) {
    return PickText(ACount == 1 ? TWindowText::wtFileCountOne : TWindowText::wtFileCountMany)
        .arg(FormatCount(static_cast<int32_t>(std::min<int64_t>(ACount, INT32_MAX))));
}

QString FolderCountText(int64_t ACount) {
    return PickText(ACount == 1 ? TWindowText::wtFolderCountOne : TWindowText::wtFolderCountMany)
        .arg(FormatCount(static_cast<int32_t>(std::min<int64_t>(ACount, INT32_MAX))));
}

QString FolderNames(const QStringList& ANames) {
    // A question has room for a few names; a selection of fifty folders is
    // named by its first ones.
    constexpr qsizetype Named = 3;
    QStringList quoted;
    for (qsizetype i = 0; i < ANames.size() && i < Named; ++i) {
        quoted << QLatin1Char('"') + ANames[i] + QLatin1Char('"');
    }
    const QString names = quoted.join(QStringLiteral(", "));
    if (ANames.size() <= Named) {
        return names;
    }
    return PickText(TWindowText::wtNamesAndMore)
        .arg(names, FormatCount(static_cast<int32_t>(ANames.size() - Named)));
}

namespace {

// Qt's Swedish catalogue keeps the standard buttons' texts under the context
// of the button box, while Qt 6 asks for them under the platform theme's.
class TToolkitTranslator : public QTranslator {
public:
    QString translate(const char* AContext, const char* ASource, const char* ADisambiguation,
                      int AN) const override {
        QString text = QTranslator::translate(AContext, ASource, ADisambiguation, AN);
        if (text.isEmpty() && AContext && std::strcmp(AContext, "QPlatformTheme") == 0) {
            text = QTranslator::translate("QDialogButtonBox", ASource, ADisambiguation, AN);
        }
        return text;
    }
};

} // namespace

void InitialiseApplication() {
    // The title goes in as the application's name, not as its display name:
    // the platform appends a display name to every window's caption, and
    // the dialogs' captions must read exactly as they are set.
    QCoreApplication::setApplicationName(QString::fromLatin1(Caption));
    static std::unique_ptr<TToolkitTranslator> toolkitTexts;
    if (toolkitTexts) {
        QCoreApplication::removeTranslator(toolkitTexts.get());
        toolkitTexts.reset();
    }
    if (IsSwedish()) {
        auto translator = std::make_unique<TToolkitTranslator>();
        if (translator->load(QLocale(QLocale::Swedish, QLocale::Sweden), QStringLiteral("qt"),
                             QStringLiteral("_"),
                             QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
            QCoreApplication::installTranslator(translator.get());
            toolkitTexts = std::move(translator);
        }
    }
}

QFont ProgramFont() {
    QString family = QStringLiteral("Tahoma");
    if (!QFontDatabase::families().contains(family, Qt::CaseInsensitive)) {
        family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    }
    QFont font(family);
    font.setPixelSize(11);
    font.setWeight(QFont::Normal);
    font.setStyleStrategy(QFont::PreferDefault);
    return font;
}

QString DefaultLocalDirectory() {
    return WithTrailingSeparator(QDir::homePath());
}

// ---- Painting ---------------------------------------------------------------

namespace {

// Lines cover their start up to but not including their end.
void Row(QPainter& P, const QColor& C, int Y, int XFrom, int XTo) {
    if (XTo > XFrom) {
        P.fillRect(XFrom, Y, XTo - XFrom, 1, C);
    }
}

void Column(QPainter& P, const QColor& C, int X, int YFrom, int YTo) {
    if (YTo > YFrom) {
        P.fillRect(X, YFrom, 1, YTo - YFrom, C);
    }
}

QColor Highlight(const QWidget& W) {
    return W.palette().color(QPalette::Active, QPalette::Light);
}
QColor Shadow(const QWidget& W) {
    return W.palette().color(QPalette::Active, QPalette::Dark);
}

} // namespace

void PaintWindowFrame(QPainter& APainter, const QWidget& AWindow) {
    const int cw = AWindow.width();
    const int ch = AWindow.height();
    const QColor black(0, 0, 0);
    Row(APainter, black, 0, 0, cw);
    Column(APainter, black, 0, 0, ch);
    Row(APainter, black, ch - 1, 0, cw);
    Column(APainter, black, cw - 1, 0, ch);
    Row(APainter, Highlight(AWindow), 1, 1, cw - 1);
    Column(APainter, Highlight(AWindow), 1, 1, ch - 1);
    Row(APainter, Shadow(AWindow), ch - 2, 1, cw - 1);
    Column(APainter, Shadow(AWindow), cw - 2, 1, ch - 1);
}

void PaintControlFrame(QPainter& APainter, const QWidget& AWindow, const QWidget& AControl,
                       bool ARaised) {
    const QRect g = AControl.geometry();
    const int l = g.left();
    const int t = g.top();
    const int w = g.width();
    const int h = g.height();
    const QColor first = ARaised ? Highlight(AWindow) : Shadow(AWindow);
    const QColor second = ARaised ? Shadow(AWindow) : Highlight(AWindow);
    // Both ends inclusive: the frame closes around the control's corners.
    Row(APainter, first, t - 1, l - 1, l + w + 1);
    Column(APainter, first, l - 1, t - 1, t + h + 1);
    Row(APainter, second, t + h, l - 1, l + w + 1);
    Column(APainter, second, l + w, t - 1, t + h + 1);
}

void PaintSeparator(QPainter& APainter, const QWidget& AWindow, int X1, int Y, int X2) {
    Row(APainter, Shadow(AWindow), Y, X1, X2);
    Row(APainter, Highlight(AWindow), Y + 1, X1, X2);
}

// ---- Last-resort error handling ---------------------------------------------

TQuorvanApplication::TQuorvanApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TQuorvanApplication::notify(QObject* AReceiver, QEvent* AEvent) {
    try {
        return QApplication::notify(AReceiver, AEvent);
    } catch (...) {
        ReportUnexpectedError(std::current_exception());
    }
    return false;
}

void ReportUnexpectedError(std::exception_ptr AError) {
    if (gUnexpectedErrorHandler) {
        // A copy, because the handler may close the window that installed it.
        const TUnexpectedErrorHandler handler = gUnexpectedErrorHandler;
        handler(std::move(AError));
    } else {
        std::fputs("Quorvan FTP: an error escaped before the main window existed\n", stderr);
    }
}

void RunGuarded(const std::function<void()>& AHandler) {
    try {
        AHandler();
    } catch (...) {
        ReportUnexpectedError(std::current_exception());
    }
}

void SetUnexpectedErrorHandler(TUnexpectedErrorHandler AHandler) {
    gUnexpectedErrorHandler = std::move(AHandler);
}

// ---- Main window ----------------------------------------------------------------

namespace {

void Place(QWidget& AControl, int ALeft, int ATop, int AWidth, int AHeight) {
    AControl.setGeometry(ALeft, ATop, AWidth, AHeight);
}

void SetUpButton(QPushButton& AButton, TPicture APicture, const QString& AText) {
    AButton.setText(AText);
    AButton.setIcon(ButtonIcon(APicture));
    AButton.setIconSize(QSize(PictureSize, PictureSize));
    AButton.setAutoDefault(false);
}

void SetUpLabel(QLabel& ALabel, Qt::Alignment AAlignment) {
    // Directory names go into these labels; "<b>" in a name must stay text.
    ALabel.setTextFormat(Qt::PlainText);
    ALabel.setAlignment(AAlignment);
}

void CentreOnScreen(QWidget& AWindow) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r(QPoint(0, 0), AWindow.size());
        r.moveCenter(screen->availableGeometry().center());
        AWindow.move(r.topLeft());
    }
}

void InstallMessagePump() {
    TIdAntiFreeze::InstallPump([] { QCoreApplication::processEvents(); },
                               [] {
                                   // One pass over what is pending, never waiting for more.
                                   if (auto* d = QAbstractEventDispatcher::instance()) {
                                       d->processEvents(QEventLoop::AllEvents);
                                   }
                               });
}

} // namespace

TfrmMain::TfrmMain(QWidget* AParent)
    : QWidget(AParent), lblTitle(this), btnConnect(this), btnDisconnect(this), gbTransfer(this),
      lblTransfer(&gbTransfer), gbProgress(this), lblProgress(&gbProgress), btnChangeMode(this),
      lblRemoteFiles(this), lvRemoteFiles(this, QColor(128, 0, 0)), btnRemoteRefresh(this),
      btnRemoteCreateDirectory(this), btnRemoteDownload(this), lblLocalFiles(this),
      lvLocalFiles(this, QColor(0, 0, 128)), btnLocalRefresh(this), btnLocalBrowse(this),
      btnLocalUpload(this), pbTransfer(this), lblTransferDetails(this),
      afMain(std::make_unique<TIdAntiFreeze>()) {
    if (!frmMain) {
        frmMain = this;
    }
    InstallMessagePump();

    sckFTP->CheckTransfers = true;
    // The window lists the folder after every batch anyway; a LIST per file
    // would double the round trips to servers without SIZE.
    sckFTP->CheckByListing = false;
    sckFTP->OnWorkBegin = [this](TIdComponent* ASender, TWorkMode AMode, int64_t AMax) {
        sckFTPWorkBegin(ASender, AMode, AMax);
    };
    sckFTP->OnWork = [this](TIdComponent* ASender, TWorkMode AMode, int64_t ACount) {
        sckFTPWork(ASender, AMode, ACount);
    };
    sckFTP->OnWorkEnd = [this](TIdComponent* ASender, TWorkMode AMode) {
        sckFTPWorkEnd(ASender, AMode);
    };

    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(Caption));
    setWindowIcon(GlobeIcon());
    setFixedSize(697, 433);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFont(ProgramFont());

    QFont bold = font();
    bold.setBold(true);
    lblTitle.setFont(bold);
    SetUpLabel(lblTitle, Qt::AlignHCenter | Qt::AlignTop);
    lblTitle.setText(QString::fromLatin1(Caption));
    Place(lblTitle, 16, 16, 153, 17);

    SetUpButton(btnConnect, TPicture::pcLitBulb, PickText(TWindowText::wtConnect));
    Place(btnConnect, 16, 48, 153, 25);
    SetUpButton(btnDisconnect, TPicture::pcUnlitBulb, PickText(TWindowText::wtDisconnect));
    Place(btnDisconnect, 16, 80, 153, 25);

    gbTransfer.setTitle(PickText(TWindowText::wtTransfer));
    Place(gbTransfer, 16, 120, 153, 41);
    SetUpLabel(lblTransfer, Qt::AlignHCenter | Qt::AlignTop);
    Place(lblTransfer, 8, 16, 137, 17);
    gbProgress.setTitle(PickText(TWindowText::wtProgress));
    Place(gbProgress, 16, 168, 153, 41);
    SetUpLabel(lblProgress, Qt::AlignHCenter | Qt::AlignTop);
    Place(lblProgress, 8, 16, 137, 17);
    FPaintLater.setSingleShot(true);
    connect(&FPaintLater, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    // The spare space of the left column, under the progress box.
    Place(pbTransfer, 16, 226, 153, 17);
    pbTransfer.setRange(0, 100);
    pbTransfer.setAlignment(Qt::AlignCenter);
    pbTransfer.setFormat(PickText(QStringLiteral("%p %"), QStringLiteral("%p%")));
    pbTransfer.hide();
    SetUpLabel(lblTransferDetails, Qt::AlignHCenter | Qt::AlignTop);
    Place(lblTransferDetails, 16, 248, 153, 44);
    lblTransferDetails.hide();

    SetUpButton(btnChangeMode, TPicture::pcShapesSheet, PickText(TWindowText::wtModeToASCII));
    Place(btnChangeMode, 16, 392, 153, 25);

    SetUpLabel(lblRemoteFiles, Qt::AlignLeft | Qt::AlignTop);
    Place(lblRemoteFiles, 184, 16, 63, 13);
    SetFittedText(lblRemoteFiles, PickText(TWindowText::wtRemoteFiles));
    Place(lvRemoteFiles, 184, 32, 497, 145);
    lvRemoteFiles.SetColumnTitles(PickText(TWindowText::wtFilename), PickText(TWindowText::wtSize),
                                  PickText(TWindowText::wtName));
    SetUpButton(btnRemoteRefresh, TPicture::pcRefreshSheet, PickText(TWindowText::wtRemoteRefresh));
    Place(btnRemoteRefresh, 184, 184, 129, 25);
    SetUpButton(btnRemoteCreateDirectory, TPicture::pcClosedFolder,
                PickText(TWindowText::wtCreateDirectory));
    Place(btnRemoteCreateDirectory, 320, 184, 129, 25);
    SetUpButton(btnRemoteDownload, TPicture::pcHandDown, PickText(TWindowText::wtDownload));
    Place(btnRemoteDownload, 456, 184, 225, 25);

    SetUpLabel(lblLocalFiles, Qt::AlignLeft | Qt::AlignTop);
    Place(lblLocalFiles, 184, 224, 50, 13);
    SetFittedText(lblLocalFiles, PickText(TWindowText::wtLocalFiles));
    Place(lvLocalFiles, 184, 240, 497, 145);
    lvLocalFiles.SetColumnTitles(PickText(TWindowText::wtFilename), PickText(TWindowText::wtSize),
                                 PickText(TWindowText::wtPath));
    SetUpButton(btnLocalRefresh, TPicture::pcRefreshSheet, PickText(TWindowText::wtLocalRefresh));
    Place(btnLocalRefresh, 184, 392, 129, 25);
    SetUpButton(btnLocalBrowse, TPicture::pcOpenFolder, PickText(TWindowText::wtBrowse));
    Place(btnLocalBrowse, 320, 392, 129, 25);
    SetUpButton(btnLocalUpload, TPicture::pcHandUp, PickText(TWindowText::wtUpload));
    Place(btnLocalUpload, 456, 392, 225, 25);

    // Group boxes hold no focus themselves but keep their place in the chain.
    QWidget* const tabOrder[] = {
        &btnConnect,        &lvRemoteFiles, &btnRemoteRefresh, &btnRemoteCreateDirectory,
        &btnRemoteDownload, &lvLocalFiles,  &btnLocalRefresh,  &btnLocalBrowse,
        &btnLocalUpload,    &btnDisconnect, &btnChangeMode,    &gbTransfer,
        &gbProgress};
    for (size_t i = 1; i < std::size(tabOrder); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }

    connect(&btnDisconnect, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnDisconnectClick(); }); });
    const std::pair<QPushButton*, void (TfrmMain::*)()> commands[] = {
        {&btnConnect, &TfrmMain::btnConnectClick},
        {&btnChangeMode, &TfrmMain::btnChangeModeClick},
        {&btnRemoteRefresh, &TfrmMain::btnRemoteRefreshClick},
        {&btnRemoteCreateDirectory, &TfrmMain::btnRemoteCreateDirectoryClick},
        {&btnRemoteDownload, &TfrmMain::btnRemoteDownloadClick},
        {&btnLocalRefresh, &TfrmMain::btnLocalRefreshClick},
        {&btnLocalBrowse, &TfrmMain::btnLocalBrowseClick},
        {&btnLocalUpload, &TfrmMain::btnLocalUploadClick}};
    for (const auto& [button, handler] : commands) {
        connect(button, &QPushButton::clicked, this, [this, handler = handler] {
            RunUserCommand([this, handler] { (this->*handler)(); });
        });
    }
    for (TFileListView* list : {&lvRemoteFiles, &lvLocalFiles}) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(list, &QWidget::customContextMenuRequested, this,
                [this, list](const QPoint& AAt) { RunGuarded([&] { ShowListMenu(*list, AAt); }); });
    }
    // The lists are disabled while a batch runs, so the window itself hears it.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { RunGuarded([this] { CancelBatch(); }); });
    lvRemoteFiles.installEventFilter(this);
    lvRemoteFiles.viewport()->installEventFilter(this);
    lvLocalFiles.installEventFilter(this);
    lvLocalFiles.viewport()->installEventFilter(this);

    btnDisconnect.setEnabled(false);
    SetPaneControlsEnabled(false);
    CentreOnScreen(*this);
    btnConnect.setFocus();

    FormCreate();
}

TfrmMain::~TfrmMain() {
    // The client goes before the widgets its handlers write to.
    sckFTP->OnWorkBegin = nullptr;
    sckFTP->OnWork = nullptr;
    sckFTP->OnWorkEnd = nullptr;
    for (QWidget* list :
         {static_cast<QWidget*>(&lvRemoteFiles), static_cast<QWidget*>(&lvLocalFiles)}) {
        list->removeEventFilter(this);
        static_cast<QAbstractScrollArea*>(list)->viewport()->removeEventFilter(this);
    }
    if (frmMain == this) {
        frmMain = nullptr;
        SetUnexpectedErrorHandler(nullptr);
    }
}

void TfrmMain::FormCreate() {
    if (frmMain == this) {
        SetUnexpectedErrorHandler(
            [this](std::exception_ptr AError) { HandleUnexpectedError(AError); });
    }
}

void TfrmMain::SetFittedText(QLabel& ALabel, const QString& AText) {
    ALabel.setText(AText);
    ALabel.resize(ALabel.fontMetrics().horizontalAdvance(AText), ALabel.height());
}

std::vector<QWidget*> TfrmMain::PaneControls() {
    return {&lvRemoteFiles,     &btnRemoteRefresh, &btnRemoteCreateDirectory,
            &btnRemoteDownload, &lvLocalFiles,     &btnLocalRefresh,
            &btnLocalBrowse,    &btnLocalUpload,   &btnChangeMode};
}

void TfrmMain::SetPaneControlsEnabled(bool AEnabled) {
    for (QWidget* w : PaneControls()) {
        w->setEnabled(AEnabled);
    }
}

void TfrmMain::FormPaint(QPainter& APainter) {
    PaintWindowFrame(APainter, *this);
    PaintControlFrame(APainter, *this, btnConnect, false);
    PaintControlFrame(APainter, *this, btnDisconnect, false);
    for (const QWidget* w : PaneControls()) {
        PaintControlFrame(APainter, *this, *w, false);
    }
    PaintSeparator(APainter, *this, 16, 40, 168);
    PaintSeparator(APainter, *this, 16, 112, 168);
    PaintSeparator(APainter, *this, 16, 216, 168);
    PaintSeparator(APainter, *this, 184, 216, 680);
    PaintSeparator(APainter, *this, 16, 384, 168);
}

bool TfrmMain::event(QEvent* AEvent) {
    if (AEvent->type() == QEvent::UpdateRequest) {
        if (FPainted.isValid() && FPainted.elapsed() < PaintInterval) {
            // Whatever changes until then is painted in one go, as it is then.
            if (!FPaintLater.isActive()) {
                FPaintLater.start(PaintInterval - static_cast<int>(FPainted.elapsed()));
            }
            return true;
        }
        FPaintLater.stop();
        FPainted.start();
    }
    return QWidget::event(AEvent);
}

void TfrmMain::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    RunGuarded([&] { FormPaint(painter); });
}

void TfrmMain::FormClose() {
    if (SessionConnected()) {
        btnDisconnectClick();
    }
}

void TfrmMain::closeEvent(QCloseEvent* AEvent) {
    // A connect still waiting below us finishes after the window has gone;
    // it then ends the session itself.
    FWindowClosed = true;
    RunGuarded([this] { FormClose(); });
    AEvent->accept();
}

void TfrmMain::HandleUnexpectedError(std::exception_ptr) {
    // A second error while the first is being reported (for example from the
    // disconnect on closing) must not stack a second box or a second close.
    if (FHandlingError) {
        return;
    }
    FHandlingError = true;
    Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                         PickText(QStringLiteral("Ett okänt fel uppstod - programmet avslutas!"),
                                  QStringLiteral("An unknown error occurred - the application "
                                                 "will terminate!")),
                         TMsgIcon::miError, TMsgButtons::mbOK);
    // A modal dialog left open (the connection dialog whose OK failed) would
    // keep the program alive after the main window closed.
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w != this && w->isVisible()) {
            w->close();
        }
    }
    close();
    FHandlingError = false;
}

bool TfrmMain::eventFilter(QObject* AWatched, QEvent* AEvent) {
    const bool remote = AWatched == &lvRemoteFiles || AWatched == lvRemoteFiles.viewport();
    const bool local = AWatched == &lvLocalFiles || AWatched == lvLocalFiles.viewport();
    if (!remote && !local) {
        return QWidget::eventFilter(AWatched, AEvent);
    }
    if (AEvent->type() == QEvent::KeyPress &&
        (AWatched == &lvRemoteFiles || AWatched == &lvLocalFiles)) {
        const int pressed = static_cast<QKeyEvent*>(AEvent)->key();
        const int key = pressed == Qt::Key_Return || pressed == Qt::Key_Enter ? VK_RETURN
                        : pressed == Qt::Key_Delete                           ? VK_DELETE
                        : pressed == Qt::Key_F2                               ? VK_F2
                        : pressed == Qt::Key_F5                               ? VK_F5
                                                                              : 0;
        if (key != 0) {
            // The key is not consumed: the list still handles it afterwards.
            RunUserCommand([&] { remote ? lvRemoteFilesKeyDown(key) : lvLocalFilesKeyDown(key); });
        }
    } else if (AEvent->type() == QEvent::MouseButtonDblClick &&
               (AWatched == lvRemoteFiles.viewport() || AWatched == lvLocalFiles.viewport())) {
        RunUserCommand([&] { remote ? lvRemoteFilesDblClick() : lvLocalFilesDblClick(); });
    }
    return false;
}
