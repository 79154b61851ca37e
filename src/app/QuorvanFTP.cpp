#include "Connect.h"
#include "Main.h"

#include <QTimer>

int main(int argc, char** argv) {
    TQuorvanApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    SetSwedish(DecideSwedish(arguments));
    InitialiseApplication();
    // Names the desktop entry, so that a desktop shows its icon and name for
    // the window (Wayland matches the two by this).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvan.QuorvanFTP"));

    TfrmMain main;
    TfrmConnect connectDialog;
    main.show();
    // An ftp:// link opened from a browser or the file manager: the dialog
    // comes up filled in and waits for OK.
    if (const QString url = AddressArgument(arguments); !url.isEmpty()) {
        QTimer::singleShot(0, &main, [&main, url] { main.ConnectToAddress(url); });
    } else if (qEnvironmentVariableIsSet("QUORVAN_FTP_SHOW_CONNECT")) {
        // For tools/screenshot: presses Connect, which shows the dialog, so
        // that pressing its OK connects.
        QTimer::singleShot(0, &main, [&main] { main.btnConnect.click(); });
    }
    return QApplication::exec();
}
