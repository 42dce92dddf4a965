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
    if (!m_writer.write(Wire::encode(greeting)))
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
    using namespace Wire;
    const QByteArray &payload = frame.payload;
    QString why;
    switch (frame.type) {
    case Type::Create:
        if (const auto p = decode<Create>(payload, &why))
            create(*p);
        break;
    case Type::Release:
        if (const auto p = decode<Release>(payload, &why); p && find(frame))
            release(p->objectId);
        break;
    case Type::HttpRequest:
        if (const auto p = decode<HttpRequest>(payload, &why); p && find(frame))
            find(frame)->HTTPRequest(p->call.host, p->call.port, p->call.file, p->call.timeOut, p->call.retries);
        break;
    case Type::PingRequest:
        if (const auto p = decode<PingRequest>(payload, &why); p && find(frame))
            find(frame)->PingRequest(p->call.ip, p->call.timeOut, p->call.retries);
        break;
    case Type::EventReturn:
        if (const auto p = decode<EventReturn>(payload, &why); p && find(frame) && !find(frame)->eventReturned(p->serial))
            why = QStringLiteral("EventReturn %1 does not answer the outstanding event").arg(p->serial);
        break;
    case Type::MessageBoxAnswer:
        if (const auto p = decode<MessageBoxAnswer>(payload, &why);
            p && find(frame) && !find(frame)->messageBoxAnswered(p->serial, p->answer))
            why = QStringLiteral("MessageBoxAnswer %1 answers no open message box").arg(p->serial);
        break;
    case Type::ArpSweep:
        if (const auto p = decode<ArpSweep>(payload, &why))
            sweep(*p);
        break;
    case Type::Greeting:
    case Type::ArpSweepResult:
    case Type::ArpSweepAnswers:
    case Type::PingResponse:
    case Type::HttpReqResponse:
    case Type::MessageBox:
    case Type::ProtocolError:
        why = QStringLiteral("%1 is sent by the server only").arg(QLatin1String(typeName(frame.type)));
        break;
    default:
        why = QStringLiteral("unknown message type 0x%1").arg(quint8(frame.type), 2, 16, QLatin1Char('0'));
    }
    if (!why.isEmpty())
        protocolError(objectIdOf(payload), why);
}

void PelorinServer::create(const Wire::Create &m)
{
    if (m.objectId == 0) {
        protocolError(0, QStringLiteral("Create with object id 0; ids start at 1"));
        return;
    }
    if (m_objects.count(m.objectId)) {
        protocolError(m.objectId, QStringLiteral("Create of object %1, which already exists").arg(m.objectId));
        return;
    }
    if (m.classId.compare(QLatin1String(kClsMainClassId), Qt::CaseInsensitive) != 0) {
        protocolError(m.objectId, QStringLiteral("class %1 is not creatable").arg(m.classId));
        return;
    }
    if (m_objects.size() + size_t(m_ending) >= size_t(kMaxObjects)) {
        protocolError(m.objectId, QStringLiteral("too many objects (%1)").arg(kMaxObjects));
        return;
    }
    auto object = std::make_unique<ProbeObject>(m_echo, m_http, m_resolver);
    object->setOutbox(&m_writer, m.objectId);
    m_objects.emplace(m.objectId, std::move(object));
}

void PelorinServer::sweep(const Wire::ArpSweep &m)
{
    Wire::ArpSweepResult result{m.sweepId, m_arp.isUsable(), {}, {}};
    if (!result.usable) {
        result.reason = m_arp.unavailableReason();
        m_writer.write(Wire::encode(result));
        return;
    }
    m_arp.sweep(
        {m.interfaceIndex, m.ownAddress, m.targets, m.timeOut},
        [this, id = m.sweepId](const QList<quint32> &answered) {
            m_writer.write(Wire::encode(Wire::ArpSweepAnswers{id, answered}));
        },
        [this, result](const QList<quint32> &answered) {
            Wire::ArpSweepResult done = result;
            done.answered = answered;
            m_writer.write(Wire::encode(done));
        });
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

ProbeObject *PelorinServer::find(const Wire::FrameReader::Frame &frame)
{
    const quint32 id = Wire::objectIdOf(frame.payload);
    const auto it = m_objects.find(id);
    if (it != m_objects.end())
        return it->second.get();
    protocolError(id, QStringLiteral("%1 for unknown object %2").arg(QLatin1String(Wire::typeName(frame.type))).arg(id));
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
