// pelorin: the probe server. Started by Lanterra, which speaks the object
// protocol over this process's stdin and stdout; ends when that pipe closes
// (or on SIGTERM), never on a terminal's SIGINT or SIGQUIT.
#include "PelorinLog.h"
#include "PelorinServer.h"
#include "Capabilities.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // A closed stdout shows up as EPIPE on write, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // A terminal's Ctrl-C (or Ctrl-\) reaches the whole foreground group, this
    // server too: it is the client's to act on. The server ends when the
    // client closes its stdin, or on SIGTERM and SIGKILL.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGQUIT, SIG_IGN);
    // Every diagnostic line on stderr reads "pelorin: <text>".
    qSetMessagePattern(QStringLiteral("%{category}: %{message}"));

    // First of all: nothing effective, CAP_NET_RAW alone permitted (a
    // failure ends pelorin here).
    Pelorin::Capabilities::limitToNetRaw();

    // The protocol gets a private copy of stdout; anything else printed to
    // stdout lands on stderr and cannot corrupt the frames.
    const int protocolOut = ::dup(STDOUT_FILENO);
    if (protocolOut < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        qCCritical(lcPelorin, "stdout: %s", std::strerror(errno));
        return 1;
    }

    // Qt's own event dispatcher, not GLib's: GLib wakes its loop with a write
    // for every event posted, and the probe objects post one per step.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    int exitCode = 0;
    {
        Pelorin::PelorinServer server(STDIN_FILENO, protocolOut);
        QObject::connect(&server, &Pelorin::PelorinServer::finished, &app, &QCoreApplication::exit,
                         Qt::QueuedConnection);
        if (server.start())
            exitCode = app.exec();
    }
    ::close(protocolOut);
    return exitCode;
}
