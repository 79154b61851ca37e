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
    // For tools/screenshot: presses Connect, which shows the dialog, so that
    // pressing its OK connects.
    if (qEnvironmentVariableIsSet("QUORVAN_FTP_SHOW_CONNECT")) {
        QTimer::singleShot(0, &main, [&main] { main.btnConnect.click(); });
    }
    return QApplication::exec();
}
