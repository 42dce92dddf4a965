#include "LabNetwork.h"

#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Lab {

bool isIsolated()
{
    // /proc/self/net follows this process's network namespace (sysfs does not).
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    QFile routes(QStringLiteral("/proc/self/net/route"));
    if (!dev.open(QIODevice::ReadOnly) || !routes.open(QIODevice::ReadOnly))
        return false;
    QByteArrayList links;
    for (const QByteArray &line : dev.readAll().trimmed().split('\n').mid(2)) // after two lines of titles
        links << line.trimmed().split(':').first();
    links.removeOne("lan0"); // the layer-2 lab's link
    if (links != QByteArrayList{"lo"})
        return false;
    // Every route stays inside 198.18.0.0/15: no default, nothing else.
    for (const QByteArray &line : routes.readAll().trimmed().split('\n').mid(1)) {
        const QList<QByteArray> f = line.simplified().split(' ');
        const quint32 destination = ntohl(f.value(1).toUInt(nullptr, 16));
        const quint32 mask = ntohl(f.value(7).toUInt(nullptr, 16));
        if (mask < 0xFFFE0000 || (destination & 0xFFFE0000) != 0xC6120000)
            return false;
    }
    return true;
}

bool shell(const QByteArray &script, QByteArray *out)
{
    QProcess sh;
    sh.start(QStringLiteral("sh"), {QStringLiteral("-ec"), QString::fromLatin1(script)});
    const bool ok = sh.waitForFinished(30000) && sh.exitStatus() == QProcess::NormalExit && sh.exitCode() == 0;
    if (!ok)
        qWarning("lab: %s", sh.readAllStandardError().constData());
    if (out)
        *out = sh.readAllStandardOutput();
    return ok;
}

int packets(const QByteArray &listCommand)
{
    QByteArray listed;
    shell(listCommand, &listed);
    const auto m = QRegularExpression(QStringLiteral("packets (\\d+)")).match(QString::fromLatin1(listed));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool allowPingSockets(bool allow)
{
    return shell(QByteArray("sysctl -qw net.ipv4.ping_group_range='") + (allow ? "0 2147483647'" : "1 0'"));
}

// One device: how it answers, and the request heads and open connections it has had.
struct Device { Behaviour behaviour; QMutex mutex; QList<QByteArray> heads; QAtomicInt open = 0; };

namespace {

void respond(QTcpSocket *socket, const Behaviour &b)
{
    const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: " + b.contentType
        + "\r\nContent-Length: " + QByteArray::number(b.body.size()) + "\r\n";
    if (b.kind == Behaviour::Trickle) {
        socket->write(head + "\r\n");
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, body = b.body, sent = qsizetype(0)]() mutable {
            socket->write(body.mid(sent++, 1)); // nothing once all is out
        });
        timer->start(50);
    } else if (b.kind != Behaviour::NoAnswer) {
        const QByteArray close = b.keepAlive ? "" : "Connection: close\r\n";
        socket->write(b.kind == Behaviour::Raw ? b.body : head + close + "\r\n" + b.body);
        if (b.kind == Behaviour::Raw || !b.keepAlive)
            socket->disconnectFromHost();
    }
}

// One connection: its first request head is recorded and answered, later ones go unread.
void serve(QTcpSocket *socket, const std::shared_ptr<Device> &device)
{
    device->open.fetchAndAddRelaxed(1);
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QObject::destroyed, [device] { device->open.fetchAndSubRelaxed(1); });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, device, buffer = QByteArray()]() mutable {
        if (!(buffer += socket->readAll()).contains("\r\n\r\n"))
            return;
        QObject::disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
        const QMutexLocker lock(&device->mutex);
        device->heads.append(buffer.left(buffer.indexOf("\r\n\r\n") + 4));
        respond(socket, device->behaviour);
    });
}

} // namespace

LabNetwork::~LabNetwork()
{
    m_thread.quit(); // the servers and their sockets go when it ends
    m_thread.wait();
}

bool LabNetwork::addDevice(const QString &address, const Behaviour &behaviour, const QString &netns)
{
    if (!isIsolated() || (netns.isEmpty() && !QHostAddress(address).isLoopback()))
        return false;
    const auto device = std::make_shared<Device>(behaviour);
    const bool ok = inNamespace(netns, [&](QObject *parent) {
        auto *server = new QTcpServer(parent);
        QObject::connect(server, &QTcpServer::newConnection, server, [server, device] {
            while (QTcpSocket *socket = server->nextPendingConnection())
                serve(socket, device);
        });
        return server->listen(QHostAddress(address), 80);
    });
    if (ok)
        m_devices.insert(address, device);
    return ok;
}

bool LabNetwork::inNamespace(const QString &netns, const std::function<bool(QObject *)> &make)
{
    if (!m_servers) {
        m_servers = new QObject;
        m_servers->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_servers, &QObject::deleteLater);
        m_thread.start();
    }
    bool ok = false;
    QMetaObject::invokeMethod(m_servers, [&] {
        // Sockets stay in the namespace they were made in; the thread goes back to its own.
        const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const QString path = netns.isEmpty() ? QStringLiteral("/proc/thread-self/ns/net") : "/run/netns/" + netns;
        const int other = ::open(qPrintable(path), O_RDONLY | O_CLOEXEC);
        if (own >= 0 && other >= 0 && ::setns(other, CLONE_NEWNET) == 0)
            ok = make(m_servers) & (::setns(own, CLONE_NEWNET) == 0); // back home whatever make did
        for (int fd : {own, other})
            ::close(fd);
    }, Qt::BlockingQueuedConnection);
    return ok;
}

QList<QByteArray> LabNetwork::requests(const QString &address) const
{
    const auto device = m_devices.value(address);
    const QMutexLocker lock(device ? &device->mutex : nullptr);
    return device ? device->heads : QList<QByteArray>();
}

int LabNetwork::openConnections(const QString &address) const
{
    const auto device = m_devices.value(address);
    return device ? device->open.loadRelaxed() : 0;
}

QByteArray LabNetwork::idPage(const QString &description)
{
    return "<html><head><title>Quorvane Product ID</title></head><body>" + description.toUtf8() + "</body></html>";
}

} // namespace Lab
