#include "LabNetwork.h"

#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace Lab {

bool isIsolated()
{
    // /proc/self/net follows this process's network namespace (sysfs does not).
    QFile dev(QStringLiteral("/proc/self/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = dev.readAll().split('\n');
    int interfaces = 0;
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray name = line.left(line.indexOf(':')).trimmed();
        if (name != "lo")
            return false;
        ++interfaces;
    }
    return interfaces == 1;
}

// The server side of one device; lives on the device's thread.
class DeviceServer : public QObject
{
public:
    DeviceServer(const QString &address, const Behaviour &behaviour)
        : m_address(address), m_behaviour(behaviour)
    {
    }

    bool listen()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, [this] { accept(); });
        if (m_server->listen(QHostAddress(m_address), 80))
            return true;
        qWarning("lab device %s: %s", qPrintable(m_address), qPrintable(m_server->errorString()));
        return false;
    }

    int requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_paths.size();
    }
    QList<QByteArray> paths() const
    {
        QMutexLocker lock(&m_mutex);
        return m_paths;
    }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            auto *buffer = new QByteArray;
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                buffer->append(socket->readAll());
                const qsizetype end = buffer->indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const QList<QByteArray> requestLine = buffer->left(buffer->indexOf("\r\n")).split(' ');
                buffer->clear();
                const QByteArray path = requestLine.size() > 1 ? requestLine.at(1) : QByteArray();
                {
                    QMutexLocker lock(&m_mutex);
                    m_paths.append(path);
                }
                respond(socket, path);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [buffer] { delete buffer; });
        }
    }

    void respond(QTcpSocket *socket, const QByteArray &path)
    {
        const Behaviour &b = m_behaviour;
        switch (b.kind) {
        case Behaviour::NoAnswer:
            return;
        case Behaviour::Raw:
            socket->write(b.rawResponse);
            socket->disconnectFromHost();
            return;
        case Behaviour::EmptyBody:
            writeResponse(socket, 200, QByteArray());
            return;
        case Behaviour::IdPageOnly:
            if (path == "/id.htm")
                writeResponse(socket, 200, b.body);
            else
                writeResponse(socket, 404, QByteArray());
            return;
        case Behaviour::Page:
        case Behaviour::ErrorStatus:
            writeResponse(socket, b.status, b.body);
            return;
        }
    }

    void writeResponse(QTcpSocket *socket, int status, const QByteArray &body)
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : " Error")
            + "\r\nContent-Type: " + m_behaviour.contentType + "\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
        socket->write(head + body);
        socket->disconnectFromHost();
    }

    QString m_address;
    Behaviour m_behaviour;
    QTcpServer *m_server = nullptr;
    mutable QMutex m_mutex;
    QList<QByteArray> m_paths;
};

// One HTTP device: a listening socket on address:80, served on its own thread.
class Device
{
public:
    Device(const QString &address, const Behaviour &behaviour) : m_server(new DeviceServer(address, behaviour))
    {
        m_server->moveToThread(&m_thread);
        m_thread.start();
    }
    ~Device()
    {
        m_server->deleteLater(); // run by the thread as it finishes
        m_thread.quit();
        m_thread.wait();
    }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    bool start()
    {
        bool ok = false;
        QMetaObject::invokeMethod(m_server, [this, &ok] { ok = m_server->listen(); }, Qt::BlockingQueuedConnection);
        return ok;
    }
    int requests() const { return m_server->requests(); }
    QList<QByteArray> paths() const { return m_server->paths(); }

private:
    QThread m_thread;
    DeviceServer *m_server;
};

namespace {
QByteArray counterName(const QString &address)
{
    return "echo_" + address.toLatin1().replace('.', '_');
}
} // namespace

LabNetwork::LabNetwork() = default;

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
    if (!p.waitForStarted(5000))
        return false;
    p.write(script);
    p.closeWriteChannel();
    p.waitForFinished(10000);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("nft failed: %s", p.readAllStandardError().constData());
        return false;
    }
    return true;
}

void LabNetwork::ensureTable()
{
    if (m_tableMade || !isIsolated())
        return;
    m_tableMade = nft("add table ip lanterra_lab\n"
                      "add chain ip lanterra_lab out { type filter hook output priority 0; policy accept; }\n"
                      "add chain ip lanterra_lab in { type filter hook input priority 0; policy accept; }\n");
}

bool LabNetwork::addSilentHost(const QString &address)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback())
        return false;
    ensureTable();
    const QByteArray a = address.toLatin1();
    const QByteArray c = counterName(address);
    return nft("add counter ip lanterra_lab " + c + "\n"
               "add rule ip lanterra_lab out ip daddr " + a + " icmp type echo-request counter name " + c + "\n"
               "add rule ip lanterra_lab in ip daddr " + a + " drop\n");
}

int LabNetwork::echoRequestCount(const QString &address) const
{
    QProcess p;
    p.start(QStringLiteral("nft"), {QStringLiteral("list"), QStringLiteral("counter"), QStringLiteral("ip"),
                                    QStringLiteral("lanterra_lab"), QString::fromLatin1(counterName(address))});
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

int LabNetwork::requestCount(const QString &address) const
{
    const auto it = m_devices.constFind(address);
    return it == m_devices.constEnd() ? 0 : (*it)->requests();
}

QList<QByteArray> LabNetwork::requestPaths(const QString &address) const
{
    const auto it = m_devices.constFind(address);
    return it == m_devices.constEnd() ? QList<QByteArray>() : (*it)->paths();
}

QByteArray LabNetwork::idPage(const QString &description)
{
    return "<html><head><title>Quorvane Product ID</title></head><body>" + description.toUtf8()
        + "</body></html>";
}

} // namespace Lab
