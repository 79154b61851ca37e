#pragma once

#include "Dialogs.h"

#include <QDialog>

#include <cstdint>
#include <string>

// The settings section of the certificates the user chose to always trust:
// one "host:port=fingerprint" line per server.
inline constexpr const char* CertificatesSection = "Certificates";

// "host:port" with the host in lower case, an IPv6 address in brackets.
std::string CertificateKey(const std::string& AHost, int32_t APort);
// The fingerprint remembered for the server; empty when there is none.
std::string RememberedCertificate(const std::string& AHost, int32_t APort);
// Throws EIniWriteError when the settings file cannot be written.
void RememberCertificate(const std::string& AHost, int32_t APort, const std::string& ASha256);

// Shows a certificate that could not be verified and asks whether to trust it.
class TfrmCertificate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmCertificate(const TCertificateQuestion& AQuestion, QWidget* AParent = nullptr);
    // Cancel unless one of the trust buttons ended the dialog.
    TTrustAnswer Answer() const { return FAnswer; }

private:
    TTrustAnswer FAnswer = TTrustAnswer::taCancel;
};
