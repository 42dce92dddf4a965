#include "PelorinServer.h"

#include "ObjectHost.h"
#include "PelorinLog.h"
#include "ProbeInterface.h"
#include "platform/EchoService.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace Pelorin {

using Wire::Message;
using Wire::Type;
using Wire::Value;

PelorinServer::PelorinServer(int inFd, int outFd, QObject *parent)
    : QObject(parent), m_inFd(inFd), m_writer(outFd)
{
    m_writer.setClosedHandler([this] {
        QMetaObject::invokeMethod(this, [this] { shutdown("stdout closed"); }, Qt::QueuedConnection);
    });
}

PelorinServer::~PelorinServer()
{
    m_notifier.reset();
    for (auto &[id, host] : m_objects)
        host->release();
    for (auto &host : m_ending)
        host->release();
    // The hosts' destructors join their threads.
}

bool PelorinServer::start()
{
    const EchoAvailability echo = echoAvailability();
    Message greeting;
    greeting.type = Type::Greeting;
    greeting.libraryId = QString::fromLatin1(kLibraryId);
    greeting.major = kLibraryMajor;
    greeting.minor = kLibraryMinor;
    greeting.echoUsable = echo.usable;
    greeting.echoReason = echo.usable ? QString() : echo.reason;
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
        shutdown(n == 0 ? "end of input" : std::strerror(errno));
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
        if (ObjectHost *host = find(m)) {
            QString why;
            if (auto method = Interface::unpackAny<Interface::Method>(m.dispId, m.args, &why))
                host->call(*method);
            else
                protocolError(m.objectId, QStringLiteral("ProbeObject: ") + why);
        }
        return;
    case Type::EventReturn:
        if (ObjectHost *host = find(m))
            host->eventReturned(m.serial);
        return;
    case Type::MessageBoxAnswer:
        if (ObjectHost *host = find(m))
            host->messageBoxAnswered(m.serial, m.answer);
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
    if (m_objects.size() + m_ending.size() >= size_t(kMaxThreads)) {
        protocolError(m.objectId, QStringLiteral("too many objects (%1 threads)").arg(kMaxThreads));
        return;
    }
    auto host = std::make_unique<ObjectHost>(m.objectId, m_writer);
    const bool started = host->start(m_pool, [this](ObjectHost *ended) {
        QMetaObject::invokeMethod(this, [this, ended] { reap(ended); }, Qt::QueuedConnection);
    });
    if (!started) {
        protocolError(m.objectId, QStringLiteral("no thread could be started for object %1").arg(m.objectId));
        return;
    }
    m_objects.emplace(m.objectId, std::move(host));
}

void PelorinServer::release(quint32 objectId)
{
    auto it = m_objects.find(objectId);
    if (it == m_objects.end())
        return;
    std::unique_ptr<ObjectHost> host = std::move(it->second);
    m_objects.erase(it);
    host->release();
    // Dropped once its thread has let go of it; a ping in progress must not
    // hold up the pipe.
    m_ending.push_back(std::move(host));
}

ObjectHost *PelorinServer::find(const Message &m)
{
    const auto it = m_objects.find(m.objectId);
    if (it != m_objects.end())
        return it->second.get();
    protocolError(m.objectId, QStringLiteral("%1 for unknown object %2")
                                  .arg(QLatin1String(Wire::typeName(m.type)))
                                  .arg(m.objectId));
    return nullptr;
}

void PelorinServer::reap(ObjectHost *host)
{
    const auto it = std::find_if(m_ending.begin(), m_ending.end(),
                                 [host](const std::unique_ptr<ObjectHost> &h) { return h.get() == host; });
    if (it != m_ending.end())
        m_ending.erase(it);
}

void PelorinServer::protocolError(quint32 objectId, const QString &text)
{
    m_writer.protocolError(objectId, text);
}

void PelorinServer::shutdown(const char *why)
{
    if (m_shuttingDown)
        return;
    m_shuttingDown = true;
    m_notifier.reset();
    while (!m_objects.empty())
        release(m_objects.begin()->first);

    QDeadlineTimer deadline(kShutdownGraceMs);
    bool allEnded = true;
    for (const auto &host : m_ending)
        allEnded = host->waitEnded(deadline) && allEnded;
    if (!allEnded) {
        // A thread is still inside an echo wait; nothing of it can reach the
        // client any more, so leave without joining it.
        qCWarning(lcPelorin, "%s; leaving with object threads still busy", why);
        std::fflush(stderr);
        std::_Exit(0);
    }
    m_ending.clear();
    emit finished(0);
}

} // namespace Pelorin
