#include "LabNetwork.h"

#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <optional>

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

namespace {

// What nft printed, or nothing when it failed.
std::optional<QByteArray> nft(const QStringList &args, const QByteArray &script = {})
{
    QProcess p;
    p.start(QStringLiteral("nft"), args);
    p.write(script);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("nft failed: %s", p.readAllStandardError().constData());
        return std::nullopt;
    }
    return p.readAllStandardOutput();
}

bool nftScript(const QByteArray &script)
{
    return nft({QStringLiteral("-f"), QStringLiteral("-")}, script).has_value();
}

} // namespace

// One HTTP device: a listening socket on address:80, served on its own
// thread. Each accepted connection gets one answer, as the behaviour says.
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
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer = QByteArray()]() mutable {
            buffer += socket->readAll();
            if (!buffer.contains("\r\n\r\n"))
                return;
            QObject::disconnect(socket, &QTcpSocket::readyRead, socket, nullptr); // later requests go unread
            {
                QMutexLocker lock(&m_mutex);
                m_paths.append(buffer.left(buffer.indexOf("\r\n")).split(' ').value(1));
            }
            respond(socket);
        });
    }

    void writeHead(QTcpSocket *socket, int status, qint64 length)
    {
        socket->write("HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
                      + "\r\nContent-Type: " + m_behaviour.contentType + "\r\nContent-Length: " + QByteArray::number(length)
                      + (m_behaviour.keepAlive ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n"));
    }

    void respond(QTcpSocket *socket)
    {
        const Behaviour &b = m_behaviour;
        switch (b.kind) {
        case Behaviour::NoAnswer:
            return;
        case Behaviour::Raw:
            socket->write(b.body);
            break;
        case Behaviour::Page:
            writeHead(socket, b.status, b.body.size());
            socket->write(b.body);
            if (b.keepAlive)
                return;
            break;
        case Behaviour::Trickle: {
            writeHead(socket, 200, b.body.size());
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [this, socket, sent = qsizetype(0)]() mutable {
                if (sent < m_behaviour.body.size())
                    socket->write(m_behaviour.body.mid(sent++, 1));
            });
            timer->start(50);
            return;
        }
        case Behaviour::ResetAfterHeaders:
            writeHead(socket, 200, b.body.size() + 1000);
            socket->write(b.body);
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
        nftScript("delete table ip lanterra_lab\n");
}

// A counter (prefix plus address) of the packets to address that match, in
// the output hook; with drop, every packet to address is lost on its way in.
bool LabNetwork::addCounted(const QString &address, const QByteArray &prefix, const QByteArray &match, bool drop)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback())
        return false;
    if (!m_tableMade)
        m_tableMade = nftScript("add table ip lanterra_lab\n"
                                "add chain ip lanterra_lab out { type filter hook output priority 0; policy accept; }\n"
                                "add chain ip lanterra_lab in { type filter hook input priority 0; policy accept; }\n");
    const QByteArray a = address.toLatin1();
    const QByteArray name = prefix + QByteArray(a).replace('.', '_');
    return nftScript("add counter ip lanterra_lab " + name + "\nadd rule ip lanterra_lab out ip daddr " + a + match
                     + " counter name " + name + "\n" + (drop ? "add rule ip lanterra_lab in ip daddr " + a + " drop\n" : ""));
}

bool LabNetwork::addSilentHost(const QString &address)
{
    return QHostAddress(address) != QHostAddress::LocalHost
        && addCounted(address, "echo_", " icmp type echo-request ip frag-off & 0x4000 == 0", true);
}

bool LabNetwork::watchSyns(const QString &address)
{
    return addCounted(address, "syn_", " tcp dport 80 tcp flags & (syn|ack) == syn", false);
}

int LabNetwork::counter(const QByteArray &prefix, const QString &address) const
{
    const std::optional<QByteArray> listed = nft({QStringLiteral("list"), QStringLiteral("counter"), QStringLiteral("ip"),
                                                  QStringLiteral("lanterra_lab"), prefix + QString(address).replace('.', '_')});
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("packets (\\d+)")).match(QString::fromLatin1(listed.value_or("")));
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

} // namespace Lab
