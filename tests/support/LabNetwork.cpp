#include "LabNetwork.h"

#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Lab {

bool isIsolated()
{
    // /proc/self/net follows this process's network namespace (sysfs does not).
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    const QByteArrayList lines = dev.open(QIODevice::ReadOnly) ? dev.readAll().trimmed().split('\n') : QByteArrayList();
    return lines.size() == 3 && lines.at(2).trimmed().startsWith("lo:"); // two lines of titles, then lo alone
}

// One device: how it answers, and the request heads and open connections it has had.
struct Device {
    Behaviour behaviour;
    QMutex mutex;
    QList<QByteArray> heads;
    QAtomicInt open = 0;
};

namespace {

// Runs the nft commands of script: what they printed, or nothing when they failed.
QByteArray nft(const QByteArray &script, bool *ok = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")});
    p.write(script);
    p.closeWriteChannel();
    const bool done = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!done)
        qWarning("nft failed: %s", p.readAllStandardError().constData());
    if (ok)
        *ok = done;
    return p.readAllStandardOutput();
}

void respond(QTcpSocket *socket, const Behaviour &b)
{
    const QByteArray head = "HTTP/1.1 " + QByteArray::number(b.status) + (b.status == 200 ? " OK" : " Error")
        + "\r\nContent-Type: " + b.contentType + "\r\nContent-Length: " + QByteArray::number(b.body.size()) + "\r\n";
    if (b.kind == Behaviour::Trickle) {
        socket->write(head + "\r\n");
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, body = b.body, sent = qsizetype(0)]() mutable {
            if (sent < body.size())
                socket->write(body.mid(sent++, 1));
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
    if (m_tableMade)
        nft("delete table ip lanterra_lab\n");
}

bool LabNetwork::addSilentHost(const QString &address)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback() || QHostAddress(address) == QHostAddress::LocalHost)
        return false;
    if (!m_tableMade)
        nft("add table ip lanterra_lab\n"
            "add chain ip lanterra_lab out { type filter hook output priority 0; policy accept; }\n"
            "add chain ip lanterra_lab in { type filter hook input priority 0; policy accept; }\n", &m_tableMade);
    const QByteArray a = address.toLatin1(), counter = "echo_" + QByteArray(a).replace('.', '_');
    bool ok = false;
    nft("add counter ip lanterra_lab " + counter + "\nadd rule ip lanterra_lab out ip daddr " + a + " ip length 60"
        " ip ttl 255 ip frag-off & 0xe000 == 0 icmp type echo-request icmp code 0 counter name " + counter
        + "\nadd rule ip lanterra_lab in ip daddr " + a + " drop\n", &ok);
    return ok;
}

int LabNetwork::echoRequestCount(const QString &address) const
{
    const QByteArray listed = nft("list counter ip lanterra_lab echo_" + address.toLatin1().replace('.', '_') + "\n");
    const auto m = QRegularExpression(QStringLiteral("packets (\\d+)")).match(QString::fromLatin1(listed));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool LabNetwork::addDevice(const QString &address, const Behaviour &behaviour)
{
    return isIsolated() && QHostAddress(address).isLoopback() && listen(address, behaviour);
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
        if (netns.isEmpty()) {
            ok = make(m_servers);
            return;
        }
        // Sockets stay in the namespace they were made in; the thread goes back to its own.
        const int own = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int other = ::open(qPrintable(QStringLiteral("/run/netns/") + netns), O_RDONLY | O_CLOEXEC);
        if (own >= 0 && other >= 0 && ::setns(other, CLONE_NEWNET) == 0) {
            ok = make(m_servers);
            ok = ::setns(own, CLONE_NEWNET) == 0 && ok;
        }
        for (int fd : {own, other})
            if (fd >= 0)
                ::close(fd);
    }, Qt::BlockingQueuedConnection);
    return ok;
}

bool LabNetwork::listen(const QString &address, const Behaviour &behaviour, const QString &netns)
{
    auto device = std::make_shared<Device>();
    device->behaviour = behaviour;
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

QList<QByteArray> LabNetwork::requests(const QString &address) const
{
    const auto device = m_devices.value(address);
    if (!device)
        return {};
    const QMutexLocker lock(&device->mutex);
    return device->heads;
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
