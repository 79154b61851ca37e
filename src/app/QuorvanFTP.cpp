#include "Connect.h"
#include "Main.h"

#include <QTimer>

int main(int argc, char** argv) {
    TQuorvanApplication app(argc, argv);
    SetSwedish(DecideSwedish(QCoreApplication::arguments().mid(1)));
    InitialiseApplication();

    TfrmMain main;
    TfrmConnect connectDialog;
    main.show();
    // For tools/screenshot, which has no way to press the Connect button.
    if (qEnvironmentVariableIsSet("QUORVAN_FTP_SHOW_CONNECT")) {
        QTimer::singleShot(0, &connectDialog, [&connectDialog] { connectDialog.exec(); });
    }
    return QApplication::exec();
}
