#include "Dialogs.h"

#include "Certificate.h"
#include "Main.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QCheckBox>
#include <QMessageBox>
#include <QPushButton>

namespace {

class TToolkitDialogs final : public TDialogs {
public:
    TMsgResult MessageBox(QWidget* AOwner, const QString& ACaption, const QString& AText,
                          TMsgIcon AIcon, TMsgButtons AButtons) override {
        QMessageBox box(AIcon == TMsgIcon::miError ? QMessageBox::Critical : QMessageBox::Question,
                        ACaption, AText,
                        AButtons == TMsgButtons::mbOK ? QMessageBox::Ok
                                                      : QMessageBox::Yes | QMessageBox::No,
                        AOwner);
        box.setTextFormat(Qt::PlainText);
        box.setWindowModality(Qt::ApplicationModal);
        switch (box.exec()) {
        case QMessageBox::Yes:
            return TMsgResult::mrYes;
        case QMessageBox::No:
            return TMsgResult::mrNo;
        default:
            // Closing a Yes/No box with its close box means No.
            return AButtons == TMsgButtons::mbOK ? TMsgResult::mrOK : TMsgResult::mrNo;
        }
    }

    QString InputBox(QWidget* AOwner, const QString& ACaption, const QString& APrompt,
                     const QString& ADefault) override {
        bool ok = false;
        const QString text =
            QInputDialog::getText(AOwner, ACaption, APrompt, QLineEdit::Normal, ADefault, &ok);
        return ok ? text : ADefault;
    }

    bool SelectFolder(QWidget* AOwner, const QString& ATitle, QString& ADirectory) override {
        QFileDialog dialog(AOwner, ATitle, ADirectory);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setWindowModality(Qt::ApplicationModal);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return false;
        }
        ADirectory = dialog.selectedFiles().constFirst();
        return true;
    }

    TTrustAnswer TrustCertificate(QWidget* AOwner, const TCertificateQuestion& AQuestion) override {
        TfrmCertificate dialog(AQuestion, AOwner);
        dialog.exec();
        return dialog.Answer();
    }

    TFileExistsReply FileExists(QWidget* AOwner, const TFileExistsQuestion& AQuestion) override {
        QMessageBox box(QMessageBox::Question, PickText(TWindowText::wtFileExistsTitle),
                        AQuestion.Text, QMessageBox::NoButton, AOwner);
        QAbstractButton* overwrite =
            box.addButton(PickText(TWindowText::wtOverwrite), QMessageBox::AcceptRole);
        QAbstractButton* resume =
            AQuestion.CanResume
                ? box.addButton(PickText(TWindowText::wtResume), QMessageBox::ApplyRole)
                : nullptr;
        QAbstractButton* skip =
            box.addButton(PickText(TWindowText::wtSkip), QMessageBox::RejectRole);
        box.setDefaultButton(static_cast<QPushButton*>(overwrite));
        box.setEscapeButton(skip);
        QCheckBox forAll(PickText(TWindowText::wtForAllFiles));
        if (AQuestion.Batch) {
            box.setCheckBox(&forAll);
        }
        box.exec();
        TFileExistsReply reply;
        reply.ForAll = AQuestion.Batch && forAll.isChecked();
        if (box.clickedButton() == skip) {
            reply.Answer = TFileExistsAnswer::feSkip;
        } else if (resume != nullptr && box.clickedButton() == resume) {
            reply.Answer = TFileExistsAnswer::feResume;
        }
        return reply;
    }
};

TDialogs* gInstalled = nullptr;

} // namespace

TDialogs& Dialogs() {
    static TToolkitDialogs toolkit;
    return gInstalled ? *gInstalled : toolkit;
}

void SetDialogs(TDialogs* ADialogs) {
    gInstalled = ADialogs;
}
