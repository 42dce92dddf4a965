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

#include <algorithm>

#include <sys/socket.h>

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

class DeviceServer;

// One accepted connection of a device: reads the request head, answers it as
// the behaviour says. A child of its socket, so it goes when the socket goes.
class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, DeviceServer &server);

private:
    void onReadyRead();
    void respond(const QByteArray &path);
    void writeHead(const QByteArray &statusLine, const QByteArray &fields);
    void writeResponse(int status, const QByteArray &body);
    void writeBody(const QByteArray &bytes);
    void streamMore();
    void trickleOne();
    void reset();

    QTcpSocket *m_socket;
    DeviceServer &m_server;
    QByteArray m_buffer;
    bool m_answered = false;
    qint64 m_streamed = 0;
    qint64 m_trickled = 0;
    QTimer *m_trickle = nullptr;
};

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
    qint64 bytesSent() const { return m_bytesSent.loadRelaxed(); }
    int openConnections() const { return m_open.loadRelaxed(); }

    const QString &address() const { return m_address; }
    const Behaviour &behaviour() const { return m_behaviour; }
    void recordRequest(const QByteArray &path)
    {
        QMutexLocker lock(&m_mutex);
        m_paths.append(path);
    }
    void countSent(qint64 bytes) { m_bytesSent.fetchAndAddRelaxed(bytes); }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            m_open.fetchAndAddRelaxed(1);
            new Connection(socket, *this);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [this] { m_open.fetchAndSubRelaxed(1); });
        }
    }

    QString m_address;
    Behaviour m_behaviour;
    QTcpServer *m_server = nullptr;
    mutable QMutex m_mutex;
    QList<QByteArray> m_paths;
    QAtomicInteger<qint64> m_bytesSent = 0;
    QAtomicInt m_open = 0;
};

namespace {
// How much of a HugeBody is kept queued ahead of the client's reading.
constexpr qint64 kStreamChunk = 64 * 1024;
constexpr qint64 kStreamAhead = 4 * kStreamChunk;
} // namespace

static QByteArray contentLength(qint64 bytes)
{
    return "Content-Length: " + QByteArray::number(bytes) + "\r\n";
}

Connection::Connection(QTcpSocket *socket, DeviceServer &server)
    : QObject(socket), m_socket(socket), m_server(server)
{
    connect(socket, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
}

void Connection::onReadyRead()
{
    m_buffer.append(m_socket->readAll());
    if (m_answered) {
        m_buffer.clear();
        return;
    }
    const qsizetype end = m_buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> requestLine = m_buffer.left(m_buffer.indexOf("\r\n")).split(' ');
    m_buffer.clear();
    const QByteArray path = requestLine.size() > 1 ? requestLine.at(1) : QByteArray();
    m_server.recordRequest(path);
    respond(path);
}

void Connection::writeBody(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_server.countSent(bytes.size());
}

void Connection::respond(const QByteArray &path)
{
    const Behaviour &b = m_server.behaviour();
    switch (b.kind) {
    case Behaviour::NoAnswer:
        return;
    case Behaviour::Raw:
        m_socket->write(b.rawResponse);
        m_socket->disconnectFromHost();
        return;
    case Behaviour::EmptyBody:
        writeResponse(200, QByteArray());
        return;
    case Behaviour::IdPageOnly:
        if (path == "/id.htm")
            writeResponse(200, b.body);
        else
            writeResponse(404, QByteArray());
        return;
    case Behaviour::Page:
    case Behaviour::ErrorStatus:
        writeResponse(b.status, b.body);
        return;
    case Behaviour::Garbage:
        writeResponse(200, LabNetwork::garbage());
        return;
    case Behaviour::ScriptIdPage:
        writeResponse(200, LabNetwork::idPage(LabNetwork::scriptDescription()));
        return;
    case Behaviour::HugeBody:
        writeHead("200 OK", contentLength(b.streamBytes));
        connect(m_socket, &QTcpSocket::bytesWritten, this, &Connection::streamMore);
        streamMore();
        return;
    case Behaviour::Trickle:
        writeHead("200 OK", contentLength(b.body.size()));
        m_trickle = new QTimer(this);
        connect(m_trickle, &QTimer::timeout, this, &Connection::trickleOne);
        m_trickle->start(b.trickleMs);
        return;
    case Behaviour::BadChunked:
        writeHead("200 OK", "Transfer-Encoding: chunked\r\n");
        writeBody("5\r\nhello\r\n" + b.badChunkSize + "\r\nworld, after the bad size\r\n0\r\n\r\n");
        m_socket->disconnectFromHost();
        return;
    case Behaviour::RedirectLoop:
        writeHead("302 Found", "Location: http://" + m_server.address().toLatin1() + path + "\r\n"
                                   + contentLength(b.body.size()));
        writeBody(b.body);
        m_socket->disconnectFromHost();
        return;
    case Behaviour::ResetAfterHeaders:
        writeHead("200 OK", contentLength(b.body.size() + 1000));
        writeBody(b.body);
        m_socket->flush();
        // Let the client take in what was sent, so the reset comes after it.
        QTimer::singleShot(30, this, &Connection::reset);
        return;
    }
}

void Connection::writeHead(const QByteArray &statusLine, const QByteArray &fields)
{
    m_answered = true;
    m_socket->write("HTTP/1.1 " + statusLine + "\r\nContent-Type: " + m_server.behaviour().contentType + "\r\n" + fields
                    + (m_server.behaviour().keepAlive ? "\r\n" : "Connection: close\r\n\r\n"));
}

void Connection::writeResponse(int status, const QByteArray &body)
{
    writeHead(QByteArray::number(status) + (status == 200 ? " OK" : " Error"), contentLength(body.size()));
    writeBody(body);
    if (!m_server.behaviour().keepAlive)
        m_socket->disconnectFromHost();
}

void Connection::streamMore()
{
    const qint64 total = m_server.behaviour().streamBytes;
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    static const QByteArray chunk = LabNetwork::fillerLine().repeated(int(kStreamChunk / 64));
    while (m_streamed < total && m_socket->bytesToWrite() < kStreamAhead) {
        const qint64 n = std::min<qint64>(chunk.size(), total - m_streamed);
        writeBody(n == chunk.size() ? chunk : chunk.left(n));
        m_streamed += n;
    }
    if (m_streamed >= total && m_socket->bytesToWrite() == 0)
        m_socket->disconnectFromHost();
}

void Connection::trickleOne()
{
    const QByteArray &body = m_server.behaviour().body;
    if (m_socket->state() != QAbstractSocket::ConnectedState || m_trickled >= body.size()) {
        m_trickle->stop();
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->disconnectFromHost();
        return;
    }
    writeBody(body.mid(m_trickled, 1));
    ++m_trickled;
}

void Connection::reset()
{
    // Linger on with a zero time-out: close() sends RST instead of FIN.
    const linger hard{1, 0};
    ::setsockopt(int(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    m_socket->abort();
}

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
    const DeviceServer &server() const { return *m_server; }

private:
    QThread m_thread;
    DeviceServer *m_server;
};

namespace {
QByteArray counterName(const QString &address, const QByteArray &prefix = "echo_")
{
    return prefix + address.toLatin1().replace('.', '_');
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
                      "add chain ip lanterra_lab in { type filter hook input priority 0; policy accept; }\n"
                      "add set ip lanterra_lab syn_seen { type ipv4_addr; flags dynamic; }\n");
}

// A counter of the packets to address that match, in the output hook; inRule,
// when given, is a rule for packets to address in the input hook.
bool LabNetwork::addCounted(const QString &address, const QByteArray &prefix, const QByteArray &match,
                            const QByteArray &inRule)
{
    if (!isIsolated() || !QHostAddress(address).isLoopback())
        return false;
    ensureTable();
    const QByteArray a = address.toLatin1();
    const QByteArray c = counterName(address, prefix);
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
    return counterValue(counterName(address));
}

bool LabNetwork::watchSyns(const QString &address, bool dropFirst)
{
    const QByteArray syn = " tcp dport 80 tcp flags & (syn|ack) == syn";
    return addCounted(address, "syn_", syn, dropFirst ? syn + " ip daddr != @syn_seen add @syn_seen { ip daddr } drop" : "");
}

int LabNetwork::synCount(const QString &address) const
{
    return counterValue(counterName(address, "syn_"));
}

int LabNetwork::counterValue(const QByteArray &name) const
{
    QProcess p;
    p.start(QStringLiteral("nft"), {QStringLiteral("list"), QStringLiteral("counter"), QStringLiteral("ip"),
                                    QStringLiteral("lanterra_lab"), QString::fromLatin1(name)});
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

template <class T, class Get>
static T ofDevice(const QHash<QString, std::shared_ptr<Device>> &devices, const QString &address, Get get)
{
    const auto it = devices.constFind(address);
    return it == devices.constEnd() ? T() : get(**it);
}

int LabNetwork::requestCount(const QString &address) const
{
    return ofDevice<int>(m_devices, address, [](const Device &d) { return d.server().requests(); });
}

QList<QByteArray> LabNetwork::requestPaths(const QString &address) const
{
    return ofDevice<QList<QByteArray>>(m_devices, address, [](const Device &d) { return d.server().paths(); });
}

qint64 LabNetwork::bytesSent(const QString &address) const
{
    return ofDevice<qint64>(m_devices, address, [](const Device &d) { return d.server().bytesSent(); });
}

int LabNetwork::openConnections(const QString &address) const
{
    return ofDevice<int>(m_devices, address, [](const Device &d) { return d.server().openConnections(); });
}

QByteArray LabNetwork::idPage(const QString &description)
{
    return "<html><head><title>Quorvane Product ID</title></head><body>" + description.toUtf8()
        + "</body></html>";
}

QByteArray LabNetwork::fillerLine()
{
    static const QByteArray line = "Lanterra lab filler: 0123456789 abcdefghijklmnopqrstuvwxyz ....\n";
    static_assert(sizeof("Lanterra lab filler: 0123456789 abcdefghijklmnopqrstuvwxyz ....\n") == 65);
    return line;
}

QByteArray LabNetwork::garbage()
{
    QRandomGenerator random(20261206);
    QByteArray bytes(16 * 1024, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    // NULs at the start, inside and at the end, whatever the generator gave.
    bytes[0] = '\0';
    bytes[bytes.size() / 2] = '\0';
    bytes[bytes.size() - 1] = '\0';
    return bytes;
}

QString LabNetwork::scriptDescription()
{
    return QStringLiteral("<script>document.title='owned'</script><b>Model 9</b> &amp; <img src=x onerror=alert(1)>");
}

} // namespace Lab
