#include "PelorinServer.h"

#include "Capabilities.h"
#include "PelorinLog.h"
#include "ProbeInterface.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Pelorin {

PelorinServer::PelorinServer(int inFd, int outFd, QObject *parent)
    : QObject(parent), m_inFd(inFd), m_writer(outFd), m_echo(EchoSocketKind::Datagram)
{
    // The sockets are open (or can't be had): no capability is needed any more.
    Capabilities::dropAll();
    m_writer.setClosedHandler([this] {
        QMetaObject::invokeMethod(this, [this] { shutdown(); }, Qt::QueuedConnection);
    });
}

PelorinServer::~PelorinServer()
{
    m_notifier.reset();
}

bool PelorinServer::start()
{
    Wire::Greeting greeting;
    greeting.libraryId = QString::fromLatin1(kLibraryId);
    greeting.major = kLibraryMajor;
    greeting.minor = kLibraryMinor;
    greeting.echoUsable = m_echo.kind() != EchoSocketKind::None;
    greeting.echoReason = greeting.echoUsable ? QString() : m_echo.unavailableReason();
    if (!m_writer.write(Wire::encode(0, greeting)))
        return false;

    m_notifier = std::make_unique<QSocketNotifier>(m_inFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &PelorinServer::readInput);
    return true;
}

void PelorinServer::readInput()
{
    char buffer[65536];
    const ssize_t n = ::read(m_inFd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        if (n < 0)
            qCWarning(lcPelorin, "stdin: %s", std::strerror(errno));
        shutdown();
        return;
    }
    m_reader.append(buffer, qsizetype(n));
    while (!m_shuttingDown) {
        std::optional<Wire::FrameReader::Frame> frame = m_reader.next();
        if (!frame)
            break;
        if (frame->error.isEmpty())
            handle(*frame);
        else
            protocolError(0, frame->error);
    }
}

void PelorinServer::handle(const Wire::FrameReader::Frame &frame)
{
    QString why;
    if (!Wire::dispatch(frame, [&](const auto &packet) { why = on(frame.objectId, packet); }, &why) || !why.isEmpty())
        protocolError(frame.objectId, why);
}

QString PelorinServer::on(quint32 id, const Wire::Create &m)
{
    if (id == 0)
        return QStringLiteral("Create with object id 0; ids start at 1");
    if (m_objects.count(id))
        return QStringLiteral("Create of object %1, which already exists").arg(id);
    if (m.classId.compare(QLatin1String(kClsMainClassId), Qt::CaseInsensitive) != 0)
        return QStringLiteral("class %1 is not creatable").arg(m.classId);
    if (m_objects.size() + size_t(m_ending) >= size_t(kMaxObjects))
        return QStringLiteral("too many objects (%1)").arg(kMaxObjects);
    auto object = std::make_unique<ProbeObject>(m_echo, m_http, m_resolver);
    object->setOutbox(&m_writer, id);
    m_objects.emplace(id, std::move(object));
    return {};
}

QString PelorinServer::on(quint32 id, const Wire::Release &m)
{
    if (find(id, m.kType))
        release(id);
    return {};
}

QString PelorinServer::on(quint32 id, const Wire::HttpRequest &m)
{
    if (ProbeObject *object = find(id, m.kType))
        object->HTTPRequest(m.host, m.port, m.file, m.timeOut, m.retries);
    return {};
}

QString PelorinServer::on(quint32 id, const Wire::PingRequest &m)
{
    if (ProbeObject *object = find(id, m.kType))
        object->PingRequest(m.ip, m.timeOut, m.retries);
    return {};
}

QString PelorinServer::on(quint32 id, const Wire::EventReturn &m)
{
    ProbeObject *object = find(id, m.kType);
    if (object && !object->eventReturned(m.serial))
        return QStringLiteral("EventReturn %1 does not answer the outstanding event").arg(m.serial);
    return {};
}

QString PelorinServer::on(quint32 id, const Wire::MessageBoxAnswer &m)
{
    ProbeObject *object = find(id, m.kType);
    if (object && !object->messageBoxAnswered(m.serial, m.answer))
        return QStringLiteral("MessageBoxAnswer %1 answers no open message box").arg(m.serial);
    return {};
}

QString PelorinServer::on(quint32, const Wire::ArpSweep &m)
{
    Wire::ArpSweepResult result{m.sweepId, m_arp.isUsable(), {}, {}};
    if (!result.usable) {
        result.reason = m_arp.unavailableReason();
        m_writer.write(Wire::encode(0, result));
        return {};
    }
    m_arp.sweep(
        {m.interfaceIndex, m.ownAddress, m.targets, m.timeOut},
        [this, id = m.sweepId](const QList<quint32> &answered) {
            m_writer.write(Wire::encode(0, Wire::ArpSweepAnswers{id, answered}));
        },
        [this, result](const QList<quint32> &answered) {
            Wire::ArpSweepResult done = result;
            done.answered = answered;
            m_writer.write(Wire::encode(0, done));
        });
    return {};
}

void PelorinServer::release(quint32 objectId)
{
    auto it = m_objects.find(objectId);
    if (it == m_objects.end())
        return;
    ProbeObject *object = it->second.release();
    m_objects.erase(it);
    ++m_ending;
    // Deleted once its procedures, woken by the shutdown, have ended.
    connect(object, &ProbeObject::ended, this, [this, object] {
        object->deleteLater();
        --m_ending;
        endIfDone();
    });
    object->shutdown();
}

ProbeObject *PelorinServer::find(quint32 id, Wire::Type type)
{
    const auto it = m_objects.find(id);
    if (it != m_objects.end())
        return it->second.get();
    protocolError(id, QStringLiteral("%1 for unknown object %2").arg(QLatin1String(Wire::typeName(type))).arg(id));
    return nullptr;
}

void PelorinServer::protocolError(quint32 objectId, const QString &text)
{
    m_writer.protocolError(objectId, text);
}

void PelorinServer::shutdown()
{
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    m_notifier.reset();
    while (!m_objects.empty())
        release(m_objects.begin()->first);
    endIfDone();
}

void PelorinServer::endIfDone()
{
    if (m_shuttingDown && m_ending == 0)
        QMetaObject::invokeMethod(this, [this] { emit finished(0); }, Qt::QueuedConnection);
}

} // namespace Pelorin
