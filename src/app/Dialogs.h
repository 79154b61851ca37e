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
};

// The dialogs in force: the toolkit's own unless a test installed others.
TDialogs& Dialogs();
// Does not take ownership; nullptr restores the toolkit's dialogs.
void SetDialogs(TDialogs* ADialogs);
