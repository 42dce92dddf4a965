// The scanner's link to its probe server: starts pelorin (found from the
// program's own folder) on first need, speaks the object protocol over the child's stdin and
// stdout, and notices when the server dies. One server per client.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

namespace PelorinClient {

class ProbeObjectProxy;

class Connection : public QObject
{
    Q_OBJECT

public:
    explicit Connection(QObject *parent = nullptr);
    ~Connection() override;

    // The connection the scanner uses.
    static Connection &instance();

    // Launches the server if none runs and returns at once; ready() follows
    // its greeting, startFailed() a server that ends or stays silent before
    // it. False, with the reason in error, when it can't even be launched.
    bool start(QString *error = nullptr);
    // The current server has greeted.
    bool isReady() const;

    // From the greeting: whether the server can send echo requests, and if
    // not, why and how to grant it.
    bool echoUsable() const;
    QString echoReason() const;

    // Asks the greeted server which targets (on the segment of the
    // interface, host byte order) answer ARP; answers gets them as they come
    // in, then done follows with them all, or with usable false and the
    // reason when the server may not send ARP. Dropped when the server ends
    // first (serverDied says so).
    using SweepAnswers = std::function<void(const QList<quint32> &answered)>;
    using SweepDone = std::function<void(bool usable, const QString &reason, const QList<quint32> &answered)>;
    void arpSweep(int interfaceIndex, quint32 ownAddress, const QList<quint32> &targets, qint32 timeOut,
                  SweepAnswers answers, SweepDone done);

    // Default: serverPathFor() the running program's folder.
    void setServerPath(const QString &path);
    QString serverPath() const;
    // Where pelorin lies for a program in programDir: beside it (the build
    // tree), else in the helper folder an install puts it in, relative to
    // programDir (bin/../libexec/lanterra), so an unpacked package root works too.
    static QString serverPathFor(const QString &programDir);

    // Shows a message box of the server's without blocking the caller, and
    // calls reply with the answer once there is one; until then only the
    // server's reporting thread waits. A reply for a server or object that
    // has gone meanwhile is dropped. Unset: the text is logged and the answer
    // is OK.
    using MessageBoxReply = std::function<void(int answer)>;
    using MessageBoxHandler =
        std::function<void(const QString &text, int style, const QString &title, MessageBoxReply reply)>;
    void setMessageBoxHandler(MessageBoxHandler handler);

    // Closes the pipe and returns at once: the server ends at its closed
    // stdin and is reaped later. Probe objects of the old server go dead; the
    // next start() starts a new server.
    void shutdown();

    // For tests: the running server's process id, 0 when none runs.
    qint64 serverPid() const;

signals:
    // The greeting of the current server arrived.
    void ready();
    // The server launched by start() ended or stayed silent before greeting.
    void startFailed(const QString &reason);
    void serverDied(const QString &reason);
    void protocolError(quint32 objectId, const QString &text);

private:
    friend class ProbeObjectProxy;
    struct Private;
    Private *d;
};

} // namespace PelorinClient
