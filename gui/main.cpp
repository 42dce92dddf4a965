// modMain: the scanner's entry. Styled controls, the main window, then the
// event loop until the window has closed.
#include "AppStyle.h"
#include "client/PelorinConnection.h"
#include "MainWindow.h"
#include "platform/MessageBoxes.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // No display name: the window system would append it to every title, and
    // the probe server's boxes must read just "Pelorin".
    QApplication::setApplicationName(QStringLiteral("Lanterra"));

    AppStyle::initStyles();

    // The probe server's reports are shown as the window's own message boxes,
    // without holding up the scan: only the server's reporting thread waits.
    PelorinClient::Connection::instance().setMessageBoxHandler(
        [](const QString &text, int style, const QString &title, PelorinClient::Connection::MessageBoxReply reply) {
            MessageBoxes::current().open(text, style, title, std::move(reply));
        });

    int result = 0;
    {
        // Lives until the loop has ended, so it is never destroyed under its
        // own handlers.
        MainWindow window;
        window.show();
        result = app.exec();
    }
    PelorinClient::Connection::instance().shutdown();
    return result;
}
