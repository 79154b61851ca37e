#pragma once

#include "IdException.h"

#include <QString>

class QWidget;

// Every modal question the program asks goes through this interface, so that
// tests can answer it without a person at the screen.
enum class TMsgIcon { miError, miQuestion };
enum class TMsgButtons { mbOK, mbYesNo };
enum class TMsgResult { mrOK, mrYes, mrNo };

// A server certificate the client could not verify, put to the user.
struct TCertificateQuestion {
    QString Server; // "host:port"
    TIdCertificateInfo Certificate;
    QString Reason;
    // A certificate the user chose to always trust was replaced by this one.
    bool Changed = false;
};
enum class TTrustAnswer { taCancel, taOnce, taAlways };

// A transfer's target exists already: overwrite it, continue it, or leave it.
struct TFileExistsQuestion {
    QString Text;
    // The target is smaller than the source and the server can restart.
    bool CanResume = false;
    // More files follow: the answer may be given for all of them.
    bool Batch = false;
};
enum class TFileExistsAnswer { feOverwrite, feResume, feSkip };
struct TFileExistsReply {
    TFileExistsAnswer Answer = TFileExistsAnswer::feOverwrite;
    bool ForAll = false;
};

class TDialogs {
public:
    virtual ~TDialogs() = default;

    virtual TMsgResult MessageBox(QWidget* AOwner, const QString& ACaption, const QString& AText,
                                  TMsgIcon AIcon, TMsgButtons AButtons) = 0;
    // Returns the typed text after OK, and ADefault after Cancel.
    virtual QString InputBox(QWidget* AOwner, const QString& ACaption, const QString& APrompt,
                             const QString& ADefault) = 0;
    // ADirectory is preselected when not empty; on true it holds the chosen folder.
    virtual bool SelectFolder(QWidget* AOwner, const QString& ATitle, QString& ADirectory) = 0;
    virtual TTrustAnswer TrustCertificate(QWidget* AOwner,
                                          const TCertificateQuestion& AQuestion) = 0;
    // Dialogs that do not ask keep the old behaviour: overwrite.
    virtual TFileExistsReply FileExists(QWidget* AOwner, const TFileExistsQuestion& AQuestion) {
        (void)AOwner;
        (void)AQuestion;
        return {};
    }
};

// The dialogs in force: the toolkit's own unless a test installed others.
TDialogs& Dialogs();
// Does not take ownership; nullptr restores the toolkit's dialogs.
void SetDialogs(TDialogs* ADialogs);
