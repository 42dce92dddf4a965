#include "client/PelorinConnection.h"

#include "client/ConnectionPrivate.h"
#include "client/ProbeObjectProxy.h"
#include "ProbeInterface.h"
#include "LanterraLog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QSet>

#include <cerrno>
#include <unistd.h>

namespace PelorinClient {

namespace Wire = Pelorin::Wire;
using Wire::Type;

namespace {

constexpr int kStartTimeoutMs = 5000;

QPointer<Connection> s_instance;

// Servers whose pipe has closed, until they have ended and are reaped; one
// that is still ending when the program exits is left to end on its own.
void letEnd(QProcess *process)
{
    static auto *const ending = new QSet<QProcess *>; // never freed: keeps them reachable until then
    process->setParent(nullptr);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    ending->insert(process);
    QObject::connect(process, &QProcess::finished, process, [process] {
        ending->remove(process);
        process->deleteLater();
    });
}

void shutdownInstance()
{
    if (s_instance)
        s_instance->shutdown();
}

} // namespace

Connection::Connection(QObject *parent) : QObject(parent), d(new Private(this))
{
    d->serverPath = serverPathFor(QCoreApplication::applicationDirPath());
    d->greetingTimer.setSingleShot(true);
    connect(&d->greetingTimer, &QTimer::timeout, this, [this] {
        d->serverEnded(QStringLiteral("The probe server %1 did not greet within %2 ms")
                           .arg(d->serverPath)
                           .arg(kStartTimeoutMs));
    });
}

QString Connection::serverPathFor(const QString &programDir)
{
    const QString beside = programDir + QStringLiteral("/pelorin");
    if (QFileInfo::exists(beside))
        return beside;
    return QDir::cleanPath(programDir + QStringLiteral("/" LANTERRA_HELPER_FROM_BINDIR "/pelorin"));
}

Connection::~Connection()
{
    shutdown();
    for (ProbeObjectProxy *proxy : std::as_const(d->proxies))
        proxy->m_connection = nullptr;
    delete d;
}

Connection &Connection::instance()
{
    if (!s_instance) {
        s_instance = new Connection(QCoreApplication::instance());
        static bool routineAdded = false;
        if (!routineAdded && QCoreApplication::instance()) {
            qAddPostRoutine(shutdownInstance);
            routineAdded = true;
        }
    }
    return *s_instance;
}

bool Connection::start(QString *error)
{
    if (d->process)
        return true;
    return d->start(error);
}

bool Connection::isReady() const
{
    return d->alive;
}

bool Connection::echoUsable() const
{
    return d->echoUsable;
}

QString Connection::echoReason() const
{
    return d->echoReason;
}

void Connection::arpSweep(int interfaceIndex, quint32 ownAddress, const QList<quint32> &targets, qint32 timeOut,
                          SweepAnswers answers, SweepDone done)
{
    const quint32 id = d->nextSweepId++;
    d->sweeps.insert(id, {std::move(answers), std::move(done)});
    d->send(0, Pelorin::Wire::ArpSweep{id, interfaceIndex, ownAddress, targets, timeOut});
}

void Connection::setServerPath(const QString &path)
{
    d->serverPath = path;
}

QString Connection::serverPath() const
{
    return d->serverPath;
}

void Connection::setMessageBoxHandler(MessageBoxHandler handler)
{
    d->messageBoxHandler = std::move(handler);
}

void Connection::shutdown()
{
    if (!d->process)
        return;
    QProcess *process = d->process;
    process->disconnect(this);
    d->process = nullptr;
    d->alive = false;
    d->greetingTimer.stop();
    d->objects.clear();
    ++d->generation;
    process->closeWriteChannel();
    letEnd(process);
}

qint64 Connection::serverPid() const
{
    return d->process ? d->process->processId() : 0;
}

bool Connection::Private::start(QString *error)
{
    discardProcess();
    ++generation;
    objects.clear();
    reader = Pelorin::Wire::FrameReader();
    echoUsable = false;
    echoReason.clear();

    if (!QFileInfo(serverPath).isExecutable()) {
        const QString why = QStringLiteral("The probe server %1 could not be started: %2")
                                .arg(serverPath, QStringLiteral("no such program"));
        if (error)
            *error = why;
        qCWarning(lcLanterra).noquote() << why;
        return false;
    }
    process = new QProcess(q);
    process->setProgram(serverPath);
    const quint64 gen = generation;
    QObject::connect(process, &QProcess::readyReadStandardOutput, q, [this, gen] {
        if (gen == generation)
            readFrames();
    });
    // Pelorin's lines go on to this program's stderr once it has greeted;
    // before that they are kept, and the reason a start failed ends with them.
    QObject::connect(process, &QProcess::readyReadStandardError, q, [this, gen] {
        if (gen == generation && alive)
            forwardServerErrors();
    });
    QObject::connect(process, &QProcess::finished, q, [this, gen](int code, QProcess::ExitStatus status) {
        if (gen != generation)
            return;
        QString reason = status == QProcess::CrashExit ? QStringLiteral("pelorin crashed")
                                                       : QStringLiteral("pelorin exited with code %1").arg(code);
        const QString said = alive ? QString() : QString::fromLocal8Bit(process->readAllStandardError()).trimmed();
        if (!said.isEmpty())
            reason += QStringLiteral(": ") + said.section(QLatin1Char('\n'), -1);
        serverEnded(reason);
    });
    QObject::connect(process, &QProcess::errorOccurred, q, [this, gen](QProcess::ProcessError e) {
        if (gen != generation || !process)
            return;
        if (e == QProcess::FailedToStart)
            serverEnded(QStringLiteral("The probe server %1 could not be started: %2")
                            .arg(serverPath, process->errorString()));
        else if (e == QProcess::Crashed || e == QProcess::WriteError)
            serverEnded(QStringLiteral("pelorin: %1").arg(process->errorString()));
    });
    greetingTimer.start(kStartTimeoutMs);
    process->start(QIODevice::ReadWrite);
    return true;
}

void Connection::Private::forwardServerErrors()
{
    const QByteArray lines = process->readAllStandardError();
    for (qsizetype done = 0; done < lines.size();) {
        const ssize_t n = ::write(STDERR_FILENO, lines.constData() + done, size_t(lines.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // stderr closed: nobody reads pelorin's lines
        done += n;
    }
}

void Connection::Private::discardProcess()
{
    if (!process)
        return;
    QProcess *old = process;
    process = nullptr;
    old->disconnect(q);
    greetingTimer.stop();
    if (old->state() != QProcess::NotRunning)
        old->kill(); // reaped once the kill has taken effect; nothing waits for it
    letEnd(old); // may be inside one of the process's own signals: deleted later
}

void Connection::Private::sendFrame(const QByteArray &frame)
{
    // Before the greeting, frames queue in the pipe.
    if (process)
        process->write(frame);
}

void Connection::Private::readFrames()
{
    reader.append(process->readAllStandardOutput());
    const quint64 gen = generation;
    // Past an unreadable frame the stream can't be trusted (a bad length
    // swallows every later answer): this server counts as ended.
    const auto unreadable = [this](const QString &why) {
        const QString text = QStringLiteral("unreadable frame from pelorin: %1").arg(why);
        QMetaObject::invokeMethod(q, [this, text] { emit q->protocolError(0, text); }, Qt::QueuedConnection);
        serverEnded(text);
    };
    while (auto frame = reader.next()) {
        if (!frame->error.isEmpty())
            return unreadable(frame->error);
        QString why;
        if (!Wire::dispatch(*frame, [&](const auto &packet) { on(frame->objectId, packet, gen); }, &why))
            return unreadable(why);
        if (!process)
            break;
    }
}

void Connection::Private::on(quint32, const Wire::Greeting &m, quint64)
{
    if (m.libraryId.compare(QLatin1String(Pelorin::kLibraryId), Qt::CaseInsensitive) != 0
        || m.major != Pelorin::kLibraryMajor) {
        serverEnded(QStringLiteral("The probe server offers type library %1 version %2.%3, "
                                   "not %4 version %5.%6")
                        .arg(m.libraryId)
                        .arg(m.major)
                        .arg(m.minor)
                        .arg(QLatin1String(Pelorin::kLibraryId))
                        .arg(Pelorin::kLibraryMajor)
                        .arg(Pelorin::kLibraryMinor));
        return;
    }
    greetingTimer.stop();
    alive = true;
    forwardServerErrors();
    echoUsable = m.echoUsable;
    echoReason = m.echoReason;
    emit q->ready();
}

// Events and boxes are queued one by one, so a handler that yields lets the next ones in.
void Connection::Private::on(quint32 id, const Wire::PingResponse &m, quint64 gen)
{
    QMetaObject::invokeMethod(q, [this, id, m, gen] { deliverEvent(id, m, gen); }, Qt::QueuedConnection);
}

void Connection::Private::on(quint32 id, const Wire::HttpReqResponse &m, quint64 gen)
{
    QMetaObject::invokeMethod(q, [this, id, m, gen] { deliverEvent(id, m, gen); }, Qt::QueuedConnection);
}

void Connection::Private::on(quint32 id, const Wire::MessageBox &m, quint64 gen)
{
    QMetaObject::invokeMethod(q, [this, id, m, gen] { deliverMessageBox(id, m, gen); }, Qt::QueuedConnection);
}

void Connection::Private::on(quint32 id, const Wire::ProtocolError &m, quint64)
{
    qCWarning(lcLanterra, "pelorin reports a protocol error (object %u): %s", id, qPrintable(m.text));
    QMetaObject::invokeMethod(q, [this, id, text = m.text] { emit q->protocolError(id, text); }, Qt::QueuedConnection);
}

void Connection::Private::on(quint32, const Wire::ArpSweepResult &m, quint64)
{
    if (SweepDone done = sweeps.take(m.sweepId).second)
        QMetaObject::invokeMethod(q, [done, m] { done(m.usable, m.reason, m.answered); }, Qt::QueuedConnection);
}

void Connection::Private::on(quint32, const Wire::ArpSweepAnswers &m, quint64)
{
    if (SweepAnswers answers = sweeps.value(m.sweepId).first)
        QMetaObject::invokeMethod(q, [answers, m] { answers(m.answered); }, Qt::QueuedConnection);
}

void Connection::Private::serverEnded(const QString &reason)
{
    const bool wasAlive = alive;
    const bool wasStarting = process && !alive;
    alive = false;
    objects.clear();
    sweeps.clear();
    discardProcess();
    qCWarning(lcLanterra).noquote() << reason;
    if (wasAlive)
        emit q->serverDied(reason);
    else if (wasStarting)
        emit q->startFailed(reason);
}

template <class Event>
void Connection::Private::deliverEvent(quint32 objectId, Event m, quint64 gen)
{
    if (!isCurrent(gen))
        return;
    ProbeObjectProxy *proxy = objects.value(objectId);
    if (!proxy)
        return; // released meanwhile: the server has been told
    QPointer<ProbeObjectProxy> guard(proxy);
    if constexpr (std::is_same_v<Event, Wire::PingResponse>)
        emit proxy->PingResponse(m.ip, m.pingTime);
    else
        emit proxy->HTTPReqResponse(m.host, m.rawData);
    // A handler that destroyed its proxy has released the object; the
    // server ends the raise on the Release alone.
    if (guard && isCurrent(gen))
        send(objectId, Wire::EventReturn{m.serial});
}

void Connection::Private::deliverMessageBox(quint32 objectId, const Wire::MessageBox &m, quint64 gen)
{
    if (!isCurrent(gen) || (objectId != 0 && !objects.contains(objectId)))
        return;
    const quint32 serial = m.serial;
    const QPointer<Connection> owner(q);
    MessageBoxReply reply = [owner, gen, objectId, serial](int answer) {
        if (!owner)
            return;
        Private *d = owner->d;
        if (!d->isCurrent(gen) || (objectId != 0 && !d->objects.contains(objectId)))
            return;
        d->send(objectId, Wire::MessageBoxAnswer{serial, answer});
    };
    if (messageBoxHandler) {
        messageBoxHandler(m.text, m.style, m.title, std::move(reply));
    } else {
        qCWarning(lcLanterra, "%s: %s", qPrintable(m.title), qPrintable(m.text));
        reply(Pelorin::MsgBox::AnswerOK);
    }
}

quint32 Connection::Private::allocateObjectId()
{
    while (nextObjectId == 0 || objects.contains(nextObjectId))
        ++nextObjectId;
    return nextObjectId++;
}

} // namespace PelorinClient
