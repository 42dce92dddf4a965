#include "LabNetwork.h"

#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>

namespace Lab {

bool isIsolated()
{
    // /proc/self/net follows this process's network namespace (sysfs does not).
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = dev.readAll().trimmed().split('\n');
    QList<QByteArray> interfaces; // after two lines of column titles
    for (qsizetype i = 2; i < lines.size(); ++i)
        interfaces << lines.at(i).left(lines.at(i).indexOf(':')).trimmed();
    return interfaces == QList<QByteArray>{"lo"};
}

// One HTTP device: a listening socket on address:80, served on its own
// thread. Each accepted connection is answered as the behaviour says.
class Device : public QObject
{
public:
    Device(const QString &address, const Behaviour &behaviour) : m_address(address), m_behaviour(behaviour)
    {
        moveToThread(&m_thread);
        m_thread.start();
    }
    ~Device() override
    {
        // Its sockets go on its own thread; the device itself comes back to be deleted here.
        QThread *here = QThread::currentThread();
        QMetaObject::invokeMethod(this, [this, here] {
            const QObjectList children = this->children();
            qDeleteAll(children);
            moveToThread(here);
        }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }

    bool start()
    {
        bool ok = false;
        QMetaObject::invokeMethod(this, [this, &ok] {
            auto *server = new QTcpServer(this);
            connect(server, &QTcpServer::newConnection, this, [this, server] {
                while (QTcpSocket *socket = server->nextPendingConnection())
                    accept(socket);
            });
            ok = server->listen(QHostAddress(m_address), 80);
        }, Qt::BlockingQueuedConnection);
        return ok;
    }

    QList<QByteArray> paths() const
    {
        QMutexLocker lock(&m_mutex);
        return m_paths;
    }
    QAtomicInt open = 0;

private:
    void accept(QTcpSocket *socket)
    {
        socket->setParent(this);
        open.fetchAndAddRelaxed(1);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this] { open.fetchAndSubRelaxed(1); });
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            if (!buffer->contains("\r\n\r\n"))
                return;
            const QByteArray path = buffer->left(buffer->indexOf("\r\n")).split(' ').value(1);
            // One answer per connection: later requests on it are not read.
            QObject::disconnect(socket, &QTcpSocket::readyRead, socket, nullptr);
            {
                QMutexLocker lock(&m_mutex);
                m_paths.append(path);
            }
            respond(socket, path);
        });
    }

    void write(QTcpSocket *socket, int status, qint64 length, const QByteArray &body)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
                      + "\r\nContent-Type: " + m_behaviour.contentType + "\r\nContent-Length: "
                      + QByteArray::number(length) + (m_behaviour.keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n"));
        socket->write(body);
    }

    void respond(QTcpSocket *socket, const QByteArray &path)
    {
        const Behaviour &b = m_behaviour;
        switch (b.kind) {
        case Behaviour::NoAnswer:
            return;
        case Behaviour::Raw:
            socket->write(b.rawResponse);
            break;
        case Behaviour::Page:
        case Behaviour::IdPageOnly: {
            const bool found = b.kind == Behaviour::Page || path == "/id.htm";
            write(socket, found ? b.status : 404, found ? b.body.size() : 0, found ? b.body : QByteArray());
            if (b.keepAlive)
                return;
            break;
        }
        case Behaviour::Trickle: {
            write(socket, 200, b.body.size(), QByteArray());
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [this, socket, timer, sent = qsizetype(0)]() mutable {
                if (sent == m_behaviour.body.size())
                    return timer->stop(), socket->disconnectFromHost();
                socket->write(m_behaviour.body.mid(sent++, 1));
            });
            timer->start(50);
            return;
        }
        case Behaviour::ResetAfterHeaders:
            write(socket, 200, b.body.size() + 1000, b.body);
            // Let the client take in what was sent, so the reset comes after it.
            QTimer::singleShot(30, socket, [socket] {
                // Linger on with a zero time-out: close() sends RST instead of FIN.
                const linger hard{1, 0};
                ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                socket->abort();
            });
            return;
        }
        socket->disconnectFromHost();
    }

    QThread m_thread;
    const QString m_address;
    const Behaviour m_behaviour;
    mutable QMutex m_mutex;
    QList<QByteArray> m_paths;
};

LabNetwork::~LabNetwork()
{
    m_devices.clear();
    if (m_tableMade)
        nft("delete table ip lanterra_lab\n");
}

bool LabNetwork::nft(const QByteArray &script) const
{
    QProcess p;
    p.start(QStringLiteral("nft"), {QStringLiteral("-f"), QStringLiteral("-")});
    p.write(script);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("nft failed: %s", p.readAllStandardError().constData());
        return false;
    }
    return true;
}

// A counter of the packets to address that match, in the output hook; inRule,
// when given, is a rule for packets to address in the input hook.
bool LabNetwork::addCounted(const QString &address, const QByteArray &prefix, const QByteArray &match,
                            const QByteArray &inRule)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback())
        return false;
    if (!m_tableMade)
        m_tableMade = nft("add table ip lanterra_lab\n"
                          "add chain ip lanterra_lab out { type filter hook output priority 0; policy accept; }\n"
                          "add chain ip lanterra_lab in { type filter hook input priority 0; policy accept; }\n"
                          "add set ip lanterra_lab syn_seen { type ipv4_addr; flags dynamic; }\n");
    const QByteArray a = address.toLatin1();
    const QByteArray c = prefix + QByteArray(a).replace('.', '_');
    return nft("add counter ip lanterra_lab " + c + "\nadd rule ip lanterra_lab out ip daddr " + a + match + " counter name " + c
               + "\n" + (inRule.isEmpty() ? QByteArray() : "add rule ip lanterra_lab in ip daddr " + a + inRule + "\n"));
}

bool LabNetwork::addSilentHost(const QString &address)
{
    return QHostAddress(address) != QHostAddress::LocalHost
        && addCounted(address, "echo_", " icmp type echo-request ip frag-off & 0x4000 == 0", " drop");
}

int LabNetwork::echoRequestCount(const QString &address) const
{
    return counterValue("echo_" + address.toLatin1());
}

bool LabNetwork::watchSyns(const QString &address, bool dropFirst)
{
    const QByteArray syn = " tcp dport 80 tcp flags & (syn|ack) == syn";
    return addCounted(address, "syn_", syn, dropFirst ? syn + " ip daddr != @syn_seen add @syn_seen { ip daddr } drop" : "");
}

int LabNetwork::synCount(const QString &address) const
{
    return counterValue("syn_" + address.toLatin1());
}

int LabNetwork::counterValue(QByteArray name) const
{
    QProcess p;
    p.start(QStringLiteral("nft"), {QStringLiteral("list"), QStringLiteral("counter"), QStringLiteral("ip"),
                                    QStringLiteral("lanterra_lab"), QString::fromLatin1(name.replace('.', '_'))});
    p.waitForFinished(10000);
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("packets (\\d+)")).match(QString::fromLatin1(p.readAllStandardOutput()));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool LabNetwork::addDevice(const QString &address, const Behaviour &behaviour)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback())
        return false;
    auto device = std::make_shared<Device>(address, behaviour);
    if (!device->start())
        return false;
    m_devices.insert(address, device);
    return true;
}

QList<QByteArray> LabNetwork::requestPaths(const QString &address) const
{
    const auto device = m_devices.value(address);
    return device ? device->paths() : QList<QByteArray>();
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

QByteArray LabNetwork::garbage()
{
    QRandomGenerator random(20261206);
    QByteArray bytes(16 * 1024, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    // NULs at the start, inside and at the end, whatever the generator gave.
    bytes[0] = bytes[bytes.size() / 2] = bytes[bytes.size() - 1] = '\0';
    return bytes;
}

} // namespace Lab
