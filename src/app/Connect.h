#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>

#include <optional>
#include <string>

enum class TIdFtpTlsMode; // IdFTP.h

// Each byte b of the text becomes 255 - b as two upper-case hexadecimal
// digits; the pairs are joined by one space. It only keeps the password from
// being read at a glance; no key is involved.
std::string EncodePassword(const std::string& AText);
// Tokens separated by runs of blanks and control characters; any token that
// is not hexadecimal makes the whole result empty.
std::string DecodePassword(const std::string& AValue);

// The user name under which servers let anyone in, whatever its case.
bool IsAnonymousUser(const std::string& AUser);

// The settings key of the encryption choice in section "Main", and its values
// in the order of TIdFtpTlsMode. A missing or unknown value is
// tmExplicitIfAvailable: an old settings file gets TLS where the server has it.
inline constexpr const char* EncryptionKey = "Encryption";
std::string EncryptionValue(TIdFtpTlsMode AMode);
TIdFtpTlsMode EncryptionMode(const std::string& AValue);

// The folder dialog: ADirectory is preselected when it names an existing
// folder and emptied otherwise; on true it holds the chosen folder.
bool BrowseForFolder(const QString& ATitle, QString& ADirectory);

// Shows every character of a password field as "*".
class TPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint AHint, const QStyleOption* AOption, const QWidget* AWidget,
                  QStyleHintReturn* AReturn) const override;
};

class TfrmConnect : public QDialog {
    Q_OBJECT
public:
    explicit TfrmConnect(QWidget* AParent = nullptr);
    ~TfrmConnect() override;

    void FormCreate();
    void FormPaint(QPainter& APainter);
    void btnOKClick();
    void btnBrowseClick();
    // Says which field OK cannot go on without (or which is out of range)
    // and puts the cursor there; true when every field can be used.
    bool FieldsUsable();

    TPasswordStyle PasswordStyle; // outlives txtPassword, which uses it
    QLabel lblRemoteHost;
    QLabel lblPort;
    QLineEdit txtRemoteHost;
    QLineEdit txtPort;
    QCheckBox cbPassive;
    QLabel lblUsername;
    QLineEdit txtUsername;
    QLabel lblPassword;
    QLineEdit txtPassword;
    QLabel lblInitialRemoteDirectory;
    QLineEdit txtInitialRemoteDirectory;
    QLabel lblInitialLocalDirectory;
    QLineEdit txtInitialLocalDirectory;
    QPushButton btnBrowse;
    QLabel lblEncryption;
    // Its items are in the order of TIdFtpTlsMode.
    QComboBox cbEncryption;
    QPushButton btnOK;

    TIdFtpTlsMode Encryption() const;
    void SetEncryption(TIdFtpTlsMode AMode);
    void cbEncryptionChange();

    // Puts host, port, user, password, initial remote directory and
    // encryption of an ftp:// or ftps:// address into the fields; the rest
    // keeps what the settings say. An address that cannot be read is named in
    // a message with what is wrong with it, and those fields are emptied
    // instead: the saved server is not the one the user asked for.
    void FillFromUrl(const QString& AUrl);
    // A password that came with an address is used but never written to the
    // settings file: set by OK while the field still holds it.
    const std::optional<std::string>& PasswordNotSaved() const { return FPasswordNotSaved; }

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    // The dialog has no cancel button, so Escape does nothing; only the close
    // box ends it without OK.
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    // The choice the port field last followed.
    int FShownEncryption = 1;
    std::optional<std::string> FUrlPassword;
    std::optional<std::string> FPasswordNotSaved;
    void ClearServerFields();
};

extern TfrmConnect* frmConnect;
