#include "Certificate.h"

#include "IniFile.h"
#include "Main.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

std::string CertificateKey(const std::string& AHost, int32_t APort) {
    std::string host = QString::fromStdString(AHost).toLower().toStdString();
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return host + ":" + std::to_string(APort);
}

std::string RememberedCertificate(const std::string& AHost, int32_t APort) {
    return TIniFile(SettingsFileName())
        .ReadString(CertificatesSection, CertificateKey(AHost, APort), "");
}

void RememberCertificate(const std::string& AHost, int32_t APort, const std::string& ASha256) {
    TIniFile ini(SettingsFileName());
    ini.WriteString(CertificatesSection, CertificateKey(AHost, APort), ASha256);
    ini.UpdateFile();
}

namespace {

// Thirty-two colon-joined pairs read better as two lines of sixteen.
QString FingerprintLines(const std::string& ASha256) {
    const QStringList pairs = QString::fromStdString(ASha256).split(QLatin1Char(':'));
    if (pairs.size() != 32) {
        return QString::fromStdString(ASha256);
    }
    return pairs.mid(0, 16).join(QLatin1Char(':')) + QLatin1Char('\n') +
           pairs.mid(16).join(QLatin1Char(':'));
}

QLabel* ValueLabel(QWidget* AParent, const QString& AText) {
    auto* label = new QLabel(AText, AParent); // owned by AParent
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

} // namespace

TfrmCertificate::TfrmCertificate(const TCertificateQuestion& AQuestion, QWidget* AParent)
    : QDialog(AParent) {
    setWindowTitle(PickText(TWindowText::wtCertificateTitle));
    setWindowModality(Qt::ApplicationModal);
    setFont(ProgramFont());

    auto* outer = new QVBoxLayout(this); // owned by the dialog, as are all below
    outer->setSizeConstraint(QLayout::SetFixedSize);
    auto* top = new QHBoxLayout;
    outer->addLayout(top);
    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()
                        ->standardIcon(AQuestion.Changed ? QStyle::SP_MessageBoxCritical
                                                         : QStyle::SP_MessageBoxWarning)
                        .pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    QLabel* intro =
        ValueLabel(this, PickText(AQuestion.Changed ? TWindowText::wtCertificateChanged
                                                    : TWindowText::wtCertificateUnverified));
    intro->setObjectName(QStringLiteral("intro"));
    intro->setMinimumWidth(400);
    QFont bold = intro->font();
    bold.setBold(true);
    intro->setFont(bold);
    top->addWidget(intro, 1);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    grid->setColumnStretch(1, 1);
    outer->addSpacing(6);
    outer->addLayout(grid);
    const TIdCertificateInfo& c = AQuestion.Certificate;
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPixelSize(font().pixelSize() > 0 ? font().pixelSize() : 11);
    const struct {
        TWindowText Caption;
        QString Value;
        bool Fixed;
    } rows[] = {
        {TWindowText::wtCertificateServer, AQuestion.Server, false},
        {TWindowText::wtCertificateSubject, QString::fromStdString(c.Subject), false},
        {TWindowText::wtCertificateIssuer, QString::fromStdString(c.Issuer), false},
        {TWindowText::wtCertificateValidFrom, QString::fromStdString(c.NotBefore), false},
        {TWindowText::wtCertificateValidUntil, QString::fromStdString(c.NotAfter), false},
        {TWindowText::wtCertificateFingerprint, FingerprintLines(c.Sha256), true},
        {TWindowText::wtCertificateReason, AQuestion.Reason, false},
    };
    int row = 0;
    for (const auto& r : rows) {
        auto* caption = new QLabel(PickText(r.Caption), this);
        caption->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        grid->addWidget(caption, row, 0);
        QLabel* value = ValueLabel(this, r.Value);
        if (r.Fixed) {
            value->setFont(fixed);
            value->setWordWrap(false);
        }
        grid->addWidget(value, row, 1);
        ++row;
    }

    auto* buttons = new QHBoxLayout;
    outer->addSpacing(8);
    outer->addLayout(buttons);
    buttons->addStretch(1);
    const struct {
        TWindowText Caption;
        TTrustAnswer Answer;
    } choices[] = {
        {TWindowText::wtTrustOnce, TTrustAnswer::taOnce},
        {TWindowText::wtTrustAlways, TTrustAnswer::taAlways},
        {TWindowText::wtCancel, TTrustAnswer::taCancel},
    };
    for (const auto& choice : choices) {
        auto* button = new QPushButton(PickText(choice.Caption), this);
        button->setObjectName(QStringLiteral("trust%1").arg(int(choice.Answer)));
        buttons->addWidget(button);
        // Enter must not trust a certificate by accident.
        button->setAutoDefault(choice.Answer == TTrustAnswer::taCancel);
        button->setDefault(choice.Answer == TTrustAnswer::taCancel);
        const TTrustAnswer answer = choice.Answer;
        connect(button, &QPushButton::clicked, this, [this, answer] {
            FAnswer = answer;
            answer == TTrustAnswer::taCancel ? reject() : accept();
        });
        if (answer == TTrustAnswer::taCancel) {
            button->setFocus();
        }
    }
}
