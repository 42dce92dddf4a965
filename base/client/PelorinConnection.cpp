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

namespace PelorinClient {

namespace Interface = Pelorin::Interface;
using Pelorin::Wire::Message;
using Pelorin::Wire::Type;

namespace {

constexpr int kStartTimeoutMs = 5000;

QPointer<Connection> s_instance;

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

bool Connection::isRunning() const
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
    // Reaped once it has ended; it outlives this connection if need be.
    process->setParent(nullptr);
    if (process->state() == QProcess::NotRunning)
        process->deleteLater();
    else
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
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
    greeted = false;
    endReason.clear();
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
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const quint64 gen = generation;
    QObject::connect(process, &QProcess::readyReadStandardOutput, q, [this, gen] {
        if (gen == generation)
            readFrames();
    });
    QObject::connect(process, &QProcess::finished, q, [this, gen](int code, QProcess::ExitStatus status) {
        if (gen != generation)
            return;
        serverEnded(status == QProcess::CrashExit
                        ? QStringLiteral("pelorin crashed")
                        : QStringLiteral("pelorin exited with code %1").arg(code));
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

void Connection::Private::discardProcess()
{
    if (!process)
        return;
    QProcess *old = process;
    process = nullptr;
    old->disconnect(q);
    greetingTimer.stop();
    old->setParent(nullptr);
    if (old->state() == QProcess::NotRunning) {
        // May be inside one of the process's own signals.
        old->deleteLater();
    } else {
        // Reaped once the kill has taken effect; nothing waits for it.
        QObject::connect(old, &QProcess::finished, old, &QObject::deleteLater);
        old->kill();
    }
}

void Connection::Private::send(const Message &m)
{
    // Before the greeting, frames queue in the pipe.
    if (process)
        process->write(Pelorin::Wire::encode(m));
}

void Connection::Private::readFrames()
{
    reader.append(process->readAllStandardOutput());
    const quint64 gen = generation;
    while (auto item = reader.next()) {
        if (!item->message) {
            const QString text = QStringLiteral("unreadable frame from pelorin: %1").arg(item->error);
            QMetaObject::invokeMethod(q, [this, text] { emit q->protocolError(0, text); }, Qt::QueuedConnection);
            // Past an unreadable frame the stream can't be trusted (a bad length
            // swallows every later answer): this server counts as ended.
            serverEnded(text);
            return;
        }
        const Message &m = *item->message;
        switch (m.type) {
        case Type::Greeting:
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
            greeted = true;
            alive = true;
            echoUsable = m.echoUsable;
            echoReason = m.echoReason;
            emit q->ready();
            break;
        case Type::Event: {
            // Queued one by one, so a handler that yields lets the next ones in.
            const Message copy = m;
            QMetaObject::invokeMethod(q, [this, copy, gen] { deliverEvent(copy, gen); }, Qt::QueuedConnection);
            break;
        }
        case Type::MessageBox: {
            const Message copy = m;
            QMetaObject::invokeMethod(q, [this, copy, gen] { deliverMessageBox(copy, gen); },
                                      Qt::QueuedConnection);
            break;
        }
        case Type::ProtocolError: {
            const quint32 id = m.objectId;
            const QString text = m.text;
            qCWarning(lcLanterra, "pelorin reports a protocol error (object %u): %s", id, qPrintable(text));
            QMetaObject::invokeMethod(q, [this, id, text] { emit q->protocolError(id, text); },
                                      Qt::QueuedConnection);
            break;
        }
        default:
            qCWarning(lcLanterra, "pelorin sent a %s frame, which only a client sends", Pelorin::Wire::typeName(m.type));
            break;
        }
        if (!process)
            break;
    }
}

void Connection::Private::serverEnded(const QString &reason)
{
    const bool wasAlive = alive;
    const bool wasStarting = process && !alive;
    endReason = reason;
    alive = false;
    objects.clear();
    discardProcess();
    qCWarning(lcLanterra).noquote() << reason;
    if (wasAlive)
        emit q->serverDied(reason);
    else if (wasStarting)
        emit q->startFailed(reason);
}

void Connection::Private::deliverEvent(const Message &m, quint64 gen)
{
    if (!isCurrent(gen))
        return;
    ProbeObjectProxy *proxy = objects.value(m.objectId);
    if (!proxy)
        return; // released meanwhile: the server has been told
    QPointer<ProbeObjectProxy> guard(proxy);
    QString why;
    std::optional<Interface::Event> event = Interface::unpackAny<Interface::Event>(m.dispId, m.args, &why);
    if (auto *ping = event ? std::get_if<Interface::PingResponse>(&*event) : nullptr) {
        emit proxy->PingResponse(ping->ip, ping->pingTime);
    } else if (auto *page = event ? std::get_if<Interface::HTTPReqResponse>(&*event) : nullptr) {
        emit proxy->HTTPReqResponse(page->host, page->rawData);
    } else {
        const QString text = QStringLiteral("pelorin raised an event a probe object does not have: %1").arg(why);
        qCWarning(lcLanterra).noquote() << text;
        emit q->protocolError(m.objectId, text);
    }
    // A handler that destroyed its proxy has released the object; the
    // server ends the raise on the Release alone.
    if (guard && isCurrent(gen)) {
        Message answer;
        answer.type = Type::EventReturn;
        answer.objectId = m.objectId;
        answer.serial = m.serial;
        send(answer);
    }
}

void Connection::Private::deliverMessageBox(const Message &m, quint64 gen)
{
    if (!isCurrent(gen) || (m.objectId != 0 && !objects.contains(m.objectId)))
        return;
    const quint32 objectId = m.objectId;
    const quint32 serial = m.serial;
    const QPointer<Connection> owner(q);
    MessageBoxReply reply = [owner, gen, objectId, serial](int answer) {
        if (!owner)
            return;
        Private *d = owner->d;
        if (!d->isCurrent(gen) || (objectId != 0 && !d->objects.contains(objectId)))
            return;
        Message answerFrame;
        answerFrame.type = Type::MessageBoxAnswer;
        answerFrame.objectId = objectId;
        answerFrame.serial = serial;
        answerFrame.answer = answer;
        d->send(answerFrame);
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
