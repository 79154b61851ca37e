#include "Connect.h"

#include "Dialogs.h"
#include "FileRows.h"
#include "IdFTP.h"
#include "IdFTPUrl.h"
#include "IniFile.h"
#include "Main.h"
#include "Pictures.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>

TfrmConnect* frmConnect = nullptr;

namespace {

const std::string Section = "Main";

std::string Bytes(const QString& AText) {
    return AText.toUtf8().toStdString();
}

QString Text(const std::string& ABytes) {
    return DecodeName(ABytes);
}

bool IsBlankOrControl(unsigned char c) {
    return c <= ' ' || c == 0x7F;
}

// The widths are those of the English texts in Tahoma; a wider fallback font
// or a longer Swedish text widens the label instead of cutting its text.
void SetLabelText(QLabel& ALabel, const QString& AText) {
    ALabel.setText(AText);
    const int needed = ALabel.fontMetrics().horizontalAdvance(AText);
    if (needed > ALabel.width()) {
        ALabel.resize(needed, ALabel.height());
    }
}

void SetUpLabel(QLabel& ALabel, const QString& AText, int L, int T, int W, int H) {
    ALabel.setTextFormat(Qt::PlainText);
    ALabel.setGeometry(L, T, W, H);
    SetLabelText(ALabel, AText);
}

void SetUpField(QLineEdit& AField, const QString& AText, int L, int T, int W, int H) {
    AField.setFrame(false);
    AField.setText(AText);
    AField.setGeometry(L, T, W, H);
}

} // namespace

std::string EncodePassword(const std::string& AText) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : AText) {
        const auto b = static_cast<unsigned char>(255 - static_cast<unsigned char>(ch));
        if (!out.empty()) {
            out += ' ';
        }
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

std::string DecodePassword(const std::string& AValue) {
    std::string out;
    size_t i = 0;
    while (i < AValue.size()) {
        if (IsBlankOrControl(static_cast<unsigned char>(AValue[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < AValue.size() && !IsBlankOrControl(static_cast<unsigned char>(AValue[end]))) {
            ++end;
        }
        // Any length of hexadecimal digits is a number; only its low byte counts.
        unsigned v = 0;
        for (size_t k = i; k < end; ++k) {
            const char c = AValue[k];
            unsigned d = 0;
            if (c >= '0' && c <= '9') {
                d = unsigned(c - '0');
            } else if (c >= 'A' && c <= 'F') {
                d = unsigned(c - 'A' + 10);
            } else if (c >= 'a' && c <= 'f') {
                d = unsigned(c - 'a' + 10);
            } else {
                return {};
            }
            v = ((v << 4) | d) & 0xFF;
        }
        out += static_cast<char>((v ^ 0xFF) & 0xFF);
        i = end;
    }
    return out;
}

namespace {

const char* const EncryptionValues[] = {"None", "ExplicitIfAvailable", "ExplicitRequired",
                                        "Implicit"};
constexpr TIdFtpTlsMode DefaultEncryption = TIdFtpTlsMode::tmExplicitIfAvailable;
const char* const PlainPort = "21";
const char* const ImplicitPort = "990";

// An address's faults name their texts in the same order.
static_assert(static_cast<int>(TWindowText::wtAddressPort) -
                  static_cast<int>(TWindowText::wtAddressControlCharacter) ==
              static_cast<int>(TFtpUrlFault::ufPort));

} // namespace

std::string EncryptionValue(TIdFtpTlsMode AMode) {
    return EncryptionValues[static_cast<size_t>(AMode)];
}

TIdFtpTlsMode EncryptionMode(const std::string& AValue) {
    for (size_t i = 0; i < std::size(EncryptionValues); ++i) {
        if (QString::fromStdString(AValue).compare(QLatin1String(EncryptionValues[i]),
                                                   Qt::CaseInsensitive) == 0) {
            return static_cast<TIdFtpTlsMode>(i);
        }
    }
    return DefaultEncryption;
}

bool IsAnonymousUser(const std::string& AUser) {
    return QString::fromStdString(AUser).compare(QStringLiteral("anonymous"),
                                                 Qt::CaseInsensitive) == 0;
}

bool BrowseForFolder(const QString& ATitle, QString& ADirectory) {
    if (ADirectory.isEmpty() || !QFileInfo(ADirectory).isDir()) {
        ADirectory.clear();
    }
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) {
        owner = QApplication::activeWindow();
    }
    QString chosen = ADirectory;
    if (!Dialogs().SelectFolder(owner, ATitle, chosen)) {
        return false;
    }
    ADirectory = chosen;
    return true;
}

int TPasswordStyle::styleHint(StyleHint AHint, const QStyleOption* AOption, const QWidget* AWidget,
                              QStyleHintReturn* AReturn) const {
    if (AHint == QStyle::SH_LineEdit_PasswordCharacter) {
        return '*';
    }
    if (AHint == QStyle::SH_LineEdit_PasswordMaskDelay) {
        return 0;
    }
    return QProxyStyle::styleHint(AHint, AOption, AWidget, AReturn);
}

TfrmConnect::TfrmConnect(QWidget* AParent)
    : QDialog(AParent), lblRemoteHost(this), lblPort(this), txtRemoteHost(this), txtPort(this),
      cbPassive(this), lblUsername(this), txtUsername(this), lblPassword(this), txtPassword(this),
      lblInitialRemoteDirectory(this), txtInitialRemoteDirectory(this),
      lblInitialLocalDirectory(this), txtInitialLocalDirectory(this), btnBrowse(this),
      lblEncryption(this), cbEncryption(this), btnOK(this) {
    if (!frmConnect) {
        frmConnect = this;
    }
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Connect to FTP..."));
    setWindowIcon(GlobeIcon());
    setFixedSize(209, 389);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFont(ProgramFont());
    ensurePolished();

    SetUpLabel(lblRemoteHost, QStringLiteral("Remote host:"), 16, 16, 65, 13);
    SetUpLabel(lblPort, QStringLiteral("Port:"), 160, 16, 24, 13);
    SetUpField(txtRemoteHost, {}, 16, 32, 137, 16);
    SetUpField(txtPort, QStringLiteral("21"), 160, 32, 33, 16);
    cbPassive.setText(QStringLiteral("Passive connection"));
    cbPassive.setGeometry(16, 56, 177, 17);
    SetUpLabel(lblUsername, QStringLiteral("Username:"), 16, 88, 52, 13);
    SetUpField(txtUsername, {}, 16, 104, 177, 16);
    SetUpLabel(lblPassword, QStringLiteral("Password:"), 16, 128, 50, 13);
    SetUpField(txtPassword, {}, 16, 144, 177, 16);
    txtPassword.setStyle(&PasswordStyle);
    txtPassword.setEchoMode(QLineEdit::Password);
    SetUpLabel(lblInitialRemoteDirectory, QStringLiteral("Initial remote directory:"), 16, 176, 113,
               13);
    SetUpField(txtInitialRemoteDirectory, QStringLiteral("/"), 16, 192, 177, 16);
    SetUpLabel(lblInitialLocalDirectory, QStringLiteral("Initial local directory:"), 16, 216, 100,
               13);
    SetUpField(txtInitialLocalDirectory, DefaultLocalDirectory(), 16, 232, 177, 16);

    btnBrowse.setText(PickText(TWindowText::wtBrowse));
    btnBrowse.setIcon(ButtonIcon(TPicture::pcOpenFolder));
    btnBrowse.setIconSize(QSize(PictureSize, PictureSize));
    btnBrowse.setAutoDefault(false);
    btnBrowse.setGeometry(104, 256, 89, 25);
    // The encryption row is a group of its own above OK; everything above it
    // stays where it was.
    SetUpLabel(lblEncryption, PickText(TWindowText::wtEncryption), 16, 296, 56, 13);
    for (const TWindowText item :
         {TWindowText::wtTlsNone, TWindowText::wtTlsExplicitIfAvailable,
          TWindowText::wtTlsExplicitRequired, TWindowText::wtTlsImplicit}) {
        cbEncryption.addItem(PickText(item));
    }
    cbEncryption.setGeometry(16, 312, 177, 21);
    SetEncryption(DefaultEncryption);
    btnOK.setText(QStringLiteral("OK"));
    btnOK.setIcon(style()->standardIcon(QStyle::SP_DialogOkButton));
    btnOK.setIconSize(QSize(PictureSize, PictureSize));
    btnOK.setDefault(true);
    btnOK.setGeometry(16, 348, 177, 25);

    QWidget* const tabOrder[] = {&txtRemoteHost,
                                 &txtPort,
                                 &cbPassive,
                                 &txtUsername,
                                 &txtPassword,
                                 &txtInitialRemoteDirectory,
                                 &txtInitialLocalDirectory,
                                 &btnBrowse,
                                 &cbEncryption,
                                 &btnOK};
    for (size_t i = 1; i < std::size(tabOrder); ++i) {
        QWidget::setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    txtRemoteHost.setFocus();

    connect(&btnBrowse, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { btnBrowseClick(); }); });
    connect(&cbEncryption, &QComboBox::activated, this,
            [this] { RunGuarded([this] { cbEncryptionChange(); }); });
    connect(&btnOK, &QPushButton::clicked, this, [this] {
        RunGuarded([this] {
            if (!FieldsUsable()) {
                return;
            }
            setResult(QDialog::Accepted);
            btnOKClick();
            accept();
        });
    });

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect r(QPoint(0, 0), size());
        r.moveCenter(screen->availableGeometry().center());
        move(r.topLeft());
    }

    FormCreate();
}

TfrmConnect::~TfrmConnect() {
    // The proxy style is destroyed after the field, but the field must not
    // look at it while it goes.
    txtPassword.setStyle(nullptr);
    if (frmConnect == this) {
        frmConnect = nullptr;
    }
}

void TfrmConnect::FormCreate() {
    const TIniFile ini(SettingsFileName());
    txtRemoteHost.setText(Text(ini.ReadString(Section, "RemoteHost", "")));
    txtPort.setText(Text(ini.ReadString(Section, "Port", "21")));
    if (ini.ValueExists(Section, "Passive")) {
        cbPassive.setChecked(ini.ReadBool(Section, "Passive", false));
    }
    txtUsername.setText(Text(ini.ReadString(Section, "Username", "")));
    txtPassword.setText(Text(DecodePassword(ini.ReadString(Section, "Password", ""))));
    txtInitialRemoteDirectory.setText(Text(ini.ReadString(Section, "InitialRemoteDirectory", "/")));
    txtInitialLocalDirectory.setText(
        Text(ini.ReadString(Section, "InitialLocalDirectory", Bytes(DefaultLocalDirectory()))));
    SetEncryption(EncryptionMode(ini.ReadString(Section, EncryptionKey, "")));

    if (IsSwedish()) {
        setWindowTitle(QStringLiteral("Anslut till FTP..."));
        SetLabelText(lblRemoteHost, QStringLiteral("Värddator:"));
        SetLabelText(lblPort, QStringLiteral("Port:"));
        SetLabelText(lblUsername, QStringLiteral("Användarnamn:"));
        SetLabelText(lblPassword, QStringLiteral("Lösenord:"));
        SetLabelText(lblInitialRemoteDirectory, QStringLiteral("Värddatorns initialkatalog:"));
        SetLabelText(lblInitialLocalDirectory, QStringLiteral("Lokal initialkatalog:"));
        cbPassive.setText(QStringLiteral("Passiv anslutning"));
        btnOK.setText(QStringLiteral("OK"));
    }
}

void TfrmConnect::btnOKClick() {
    const std::string password = Bytes(txtPassword.text());
    FPasswordNotSaved.reset();
    if (FUrlPassword && txtPassword.text() == Text(*FUrlPassword)) {
        FPasswordNotSaved = FUrlPassword;
    }
    TIniFile ini(SettingsFileName());
    ini.WriteString(Section, "RemoteHost", Bytes(txtRemoteHost.text()));
    ini.WriteString(Section, "Port", Bytes(txtPort.text()));
    ini.WriteString(Section, "Passive", cbPassive.isChecked() ? "1" : "0");
    ini.WriteString(Section, "Username", Bytes(txtUsername.text()));
    // The stored password belonged to the server the address replaced, so
    // it goes too.
    ini.WriteString(Section, "Password", FPasswordNotSaved ? "" : EncodePassword(password));
    ini.WriteString(Section, "InitialRemoteDirectory", Bytes(txtInitialRemoteDirectory.text()));
    ini.WriteString(Section, "InitialLocalDirectory", Bytes(txtInitialLocalDirectory.text()));
    ini.WriteString(Section, EncryptionKey, EncryptionValue(Encryption()));
    ini.UpdateFile();
}

bool TfrmConnect::FieldsUsable() {
    QLineEdit* field = nullptr;
    QString text;
    const QString portText = txtPort.text().trimmed();
    const bool numeric =
        QRegularExpression(QStringLiteral("^[+-]?[0-9]+$")).match(portText).hasMatch();
    bool fits = false;
    const qlonglong port = portText.toLongLong(&fits);
    if (txtRemoteHost.text().trimmed().isEmpty()) {
        field = &txtRemoteHost;
        text = PickText(QStringLiteral("Ange värddatorn."),
                        QStringLiteral("Please type the remote host."));
    } else if (numeric && (!fits || port < 1 || port > 65535)) {
        // Letters are left to Connect, which fails without trying; a number
        // outside the range would otherwise reach another port.
        field = &txtPort;
        text = PickText(TWindowText::wtPortRange);
    } else if (txtUsername.text().isEmpty()) {
        field = &txtUsername;
        text = PickText(QStringLiteral("Ange ett användarnamn."),
                        QStringLiteral("Please type a username."));
    } else if (txtPassword.text().isEmpty() && !IsAnonymousUser(Bytes(txtUsername.text()))) {
        field = &txtPassword;
        text = PickText(QStringLiteral("Ange ett lösenord (eller användarnamnet anonymous)."),
                        QStringLiteral("Please type a password (or the username anonymous)."));
    }
    if (!field) {
        return true;
    }
    Dialogs().MessageBox(this, PickText(TWindowText::wtError), text, TMsgIcon::miError,
                         TMsgButtons::mbOK);
    field->setFocus();
    return false;
}

TIdFtpTlsMode TfrmConnect::Encryption() const {
    return static_cast<TIdFtpTlsMode>(cbEncryption.currentIndex());
}

void TfrmConnect::SetEncryption(TIdFtpTlsMode AMode) {
    cbEncryption.setCurrentIndex(static_cast<int>(AMode));
    FShownEncryption = cbEncryption.currentIndex();
}

void TfrmConnect::cbEncryptionChange() {
    // Implicit TLS has a port of its own: the usual ports follow the choice,
    // but a port the user typed stays as typed.
    const auto previous = static_cast<TIdFtpTlsMode>(FShownEncryption);
    FShownEncryption = cbEncryption.currentIndex();
    const bool implicit = Encryption() == TIdFtpTlsMode::tmImplicit;
    const bool wasImplicit = previous == TIdFtpTlsMode::tmImplicit;
    const QString port = txtPort.text().trimmed();
    if (implicit && !wasImplicit && port == QLatin1String(PlainPort)) {
        txtPort.setText(QLatin1String(ImplicitPort));
    } else if (!implicit && wasImplicit && port == QLatin1String(ImplicitPort)) {
        txtPort.setText(QLatin1String(PlainPort));
    }
}

void TfrmConnect::ClearServerFields() {
    txtRemoteHost.clear();
    txtPort.setText(QLatin1String(PlainPort));
    txtUsername.clear();
    txtPassword.clear();
    txtInitialRemoteDirectory.setText(QStringLiteral("/"));
    if (Encryption() == TIdFtpTlsMode::tmImplicit) {
        SetEncryption(DefaultEncryption);
    }
    FUrlPassword.reset();
}

void TfrmConnect::FillFromUrl(const QString& AUrl) {
    ClearServerFields();
    TFtpUrl url;
    try {
        url = ParseFtpUrl(Bytes(AUrl));
    } catch (const EIdFtpUrlError& e) {
        static constexpr TWindowText Parts[] = {
            TWindowText::wtAddressPath, TWindowText::wtAddressUser, TWindowText::wtAddressPassword,
            TWindowText::wtAddressPath};
        const auto fault =
            static_cast<int>(TWindowText::wtAddressControlCharacter) + static_cast<int>(e.Fault);
        QString reason = PickText(static_cast<TWindowText>(fault));
        if (e.Fault == TFtpUrlFault::ufBrokenEscape || e.Fault == TFtpUrlFault::ufForbiddenByte) {
            reason = reason.arg(PickText(Parts[static_cast<size_t>(e.Part)]));
        } else if (reason.contains(QLatin1String("%1"))) {
            reason = reason.arg(Text(e.Detail));
        }
        Dialogs().MessageBox(this, PickText(TWindowText::wtError),
                             PickText(TWindowText::wtAddressUnreadable).arg(AUrl, reason),
                             TMsgIcon::miError, TMsgButtons::mbOK);
        return;
    }
    txtRemoteHost.setText(Text(url.Host));
    txtPort.setText(QString::number(url.Port));
    // No user in the address: the anonymous login (RFC 1738).
    txtUsername.setText(url.HasUser ? Text(url.User) : QStringLiteral("anonymous"));
    if (url.HasPassword) {
        txtPassword.setText(Text(url.Password));
        FUrlPassword = url.Password;
    }
    // The path is relative to the login directory; without one the session
    // stays there.
    const std::string dir = url.DirectoryPath();
    txtInitialRemoteDirectory.setText(dir.empty() ? QStringLiteral(".") : Text(dir));
    if (url.Implicit) {
        SetEncryption(TIdFtpTlsMode::tmImplicit);
    }
}

void TfrmConnect::btnBrowseClick() {
    QString start = WithTrailingSeparator(txtInitialLocalDirectory.text());
    if (BrowseForFolder(PickText(TWindowText::wtChooseDirectory), start) && !start.isEmpty()) {
        txtInitialLocalDirectory.setText(WithTrailingSeparator(start));
    }
}

void TfrmConnect::FormPaint(QPainter& APainter) {
    PaintWindowFrame(APainter, *this);
    for (const QWidget* w :
         {static_cast<const QWidget*>(&txtRemoteHost), static_cast<const QWidget*>(&txtPort),
          static_cast<const QWidget*>(&txtUsername), static_cast<const QWidget*>(&txtPassword),
          static_cast<const QWidget*>(&txtInitialRemoteDirectory),
          static_cast<const QWidget*>(&txtInitialLocalDirectory),
          static_cast<const QWidget*>(&btnBrowse), static_cast<const QWidget*>(&btnOK)}) {
        PaintControlFrame(APainter, *this, *w, false);
    }
    PaintSeparator(APainter, *this, 16, 80, 192);
    PaintSeparator(APainter, *this, 16, 168, 192);
    PaintSeparator(APainter, *this, 16, 288, 192);
    PaintSeparator(APainter, *this, 16, 340, 192);
}

void TfrmConnect::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    RunGuarded([&] { FormPaint(painter); });
}

void TfrmConnect::keyPressEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape) {
        AEvent->accept();
        return;
    }
    QDialog::keyPressEvent(AEvent);
}
