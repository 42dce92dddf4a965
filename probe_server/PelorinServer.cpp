#include "PelorinServer.h"

#include "EchoService.h"
#include "ObjectHost.h"
#include "PelorinInterface.h"

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

namespace {

struct MethodSignature {
    qint32 dispId;
    const char *name;
    std::vector<const char *> params;
    std::vector<size_t> types; // index into Wire::Value
};

constexpr size_t kText = 0;
constexpr size_t kI32 = 2;
constexpr size_t kU8 = 3;

const std::vector<MethodSignature> &methods()
{
    static const std::vector<MethodSignature> list = {
        {DispId::HTTPRequest, "HTTPRequest", {"sHost", "lPort", "sFile", "lTimeOut", "Retries"},
         {kText, kI32, kText, kI32, kU8}},
        {DispId::PingRequest, "PingRequest", {"sIP", "lTimeOut", "Retries"}, {kText, kI32, kU8}},
    };
    return list;
}

QString typeText(size_t index)
{
    switch (index) {
    case 0: return QStringLiteral("text");
    case 1: return QStringLiteral("16-bit integer");
    case 2: return QStringLiteral("32-bit integer");
    default: return QStringLiteral("byte");
    }
}

} // namespace

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
    greeting.text = QString::fromLatin1(kLibraryId);
    greeting.major = kLibraryMajor;
    greeting.minor = kLibraryMinor;
    greeting.flag = echo.usable;
    greeting.text2 = echo.usable ? QString() : echo.reason;
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
        std::optional<Wire::FrameReader::Item> item = m_reader.next();
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
    case Type::Call: {
        ObjectHost *host = find(m);
        QString why;
        if (host && !checkCall(m, &why))
            protocolError(m.objectId, why);
        else if (host)
            host->call(m.number, m.args);
        return;
    }
    case Type::EventReturn:
        if (ObjectHost *host = find(m))
            host->eventReturned(m.serial);
        return;
    case Type::MessageBoxAnswer:
        if (ObjectHost *host = find(m))
            host->messageBoxAnswered(m.serial, m.number);
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
    if (m.text.compare(QLatin1String(kClsMainClassId), Qt::CaseInsensitive) != 0) {
        protocolError(m.objectId, QStringLiteral("class %1 is not creatable").arg(m.text));
        return;
    }
    if (m_objects.size() + m_ending.size() >= size_t(kMaxThreads)) {
        protocolError(m.objectId, QStringLiteral("too many objects (%1 threads)").arg(kMaxThreads));
        return;
    }
    auto host = std::make_unique<ObjectHost>(m.objectId, m_writer);
    if (!host->isRunning() && !host->isFinished()) {
        protocolError(m.objectId, QStringLiteral("no thread could be started for object %1").arg(m.objectId));
        return;
    }
    ObjectHost *raw = host.get();
    connect(raw, &QThread::finished, this, [this, raw] { reap(raw); }, Qt::QueuedConnection);
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
    // Joined once its thread says it has finished; a ping in progress must
    // not hold up the pipe.
    m_ending.push_back(std::move(host));
}

bool PelorinServer::checkCall(const Message &m, QString *why) const
{
    const auto &list = methods();
    const auto method = std::find_if(list.begin(), list.end(),
                                     [&](const MethodSignature &s) { return s.dispId == m.number; });
    if (method == list.end()) {
        *why = QStringLiteral("clsMain has no method with dispatch id 0x%1")
                   .arg(quint32(m.number), 8, 16, QLatin1Char('0'));
        return false;
    }
    if (size_t(m.args.size()) != method->types.size()) {
        *why = QStringLiteral("%1 takes %2 arguments, not %3")
                   .arg(QLatin1String(method->name))
                   .arg(method->types.size())
                   .arg(m.args.size());
        return false;
    }
    for (size_t k = 0; k < method->types.size(); ++k) {
        const Value &v = m.args.at(qsizetype(k));
        if (v.index() != method->types[k]) {
            *why = QStringLiteral("%1: argument %2 (%3) must be %4, not %5")
                       .arg(QLatin1String(method->name))
                       .arg(k + 1)
                       .arg(QLatin1String(method->params[k]))
                       .arg(typeText(method->types[k]), Wire::describeValueType(v));
            return false;
        }
    }
    return true;
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
        m_ending.erase(it); // joins the finished thread
}

void PelorinServer::protocolError(quint32 objectId, const QString &text)
{
    std::fprintf(stderr, "pelorin: protocol error (object %u): %s\n", objectId, qPrintable(text));
    Message m;
    m.type = Type::ProtocolError;
    m.objectId = objectId;
    m.text = text;
    m_writer.write(Wire::encode(m));
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
        allEnded = host->wait(deadline) && allEnded;
    if (!allEnded) {
        // A thread is still inside an echo wait; nothing of it can reach the
        // client any more, so leave without joining it.
        std::fprintf(stderr, "pelorin: %s; leaving with object threads still busy\n", why);
        std::fflush(stderr);
        std::_Exit(0);
    }
    m_ending.clear();
    emit finished(0);
}

} // namespace Pelorin
