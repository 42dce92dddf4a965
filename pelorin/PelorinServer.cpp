#include "PelorinServer.h"

#include "PelorinLog.h"
#include "ProbeInterface.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Pelorin {

using Wire::Message;
using Wire::Type;

PelorinServer::PelorinServer(int inFd, int outFd, QObject *parent)
    : QObject(parent), m_inFd(inFd), m_writer(outFd), m_echo(EchoSocketKind::Datagram)
{
    // The socket is open (or can't be had): no capability is needed any more.
    if (!dropCapabilities())
        qCWarning(lcPelorin, "capabilities: %s", std::strerror(errno));
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
    Message greeting;
    greeting.type = Type::Greeting;
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
        std::optional<Wire::FrameReader::row> item = m_reader.next();
        if (!item)
            break;
        if (item->message)
            handle(*item->message);
        else
            protocolError(0, item->error);
    }
}

void PelorinServer::handle(const Message &m)
{
    switch (m.type) {
    case Type::Create:
        create(m);
        return;
    case Type::Release:
        if (find(m))
            release(m.objectId);
        return;
    case Type::Call:
        if (ProbeObject *object = find(m)) {
            QString why;
            if (auto method = Interface::unpackAny<Interface::Method>(m.dispId, m.args, &why))
                object->call(*method);
            else
                protocolError(m.objectId, QStringLiteral("ProbeObject: ") + why);
        }
        return;
    case Type::EventReturn:
        if (ProbeObject *object = find(m); object && !object->eventReturned(m.serial))
            protocolError(m.objectId,
                          QStringLiteral("EventReturn %1 does not answer the outstanding event").arg(m.serial));
        return;
    case Type::MessageBoxAnswer:
        if (ProbeObject *object = find(m); object && !object->messageBoxAnswered(m.serial, m.answer))
            protocolError(m.objectId, QStringLiteral("MessageBoxAnswer %1 answers no open message box").arg(m.serial));
        return;
    case Type::Greeting:
    case Type::Event:
    case Type::MessageBox:
    case Type::ProtocolError:
        protocolError(m.objectId, QStringLiteral("%1 is sent by the server only")
                                      .arg(QLatin1String(Wire::typeName(m.type))));
        return;
    }
    protocolError(m.objectId, QStringLiteral("unknown message type"));
}

void PelorinServer::create(const Message &m)
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
    auto object = std::make_unique<ProbeObject>(m_echo, m_http);
    object->setOutbox(&m_writer, m.objectId);
    m_objects.emplace(m.objectId, std::move(object));
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

ProbeObject *PelorinServer::find(const Message &m)
{
    const auto it = m_objects.find(m.objectId);
    if (it != m_objects.end())
        return it->second.get();
    protocolError(m.objectId, QStringLiteral("%1 for unknown object %2")
                                  .arg(QLatin1String(Wire::typeName(m.type)))
                                  .arg(m.objectId));
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
