// The private test network of the lab tests, usable only inside the network namespace of
// tests/lab/run-in-netns.sh: every call refuses to act anywhere else. Devices are small HTTP servers of ours
// on 127.0.0.x:80 (or inside a layer-2 lab host's namespace), served on a thread of their own.
#pragma once

#include <QHash>
#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

namespace Lab {

// True only while this process's network namespace has no interface but lo (and the layer-2 lab's lan0), and no
// route out of 198.18.0.0/15.
bool isIsolated();
// For QtTest initTestCase(): fails the test run unless isolated.
#define LAB_REQUIRE_ISOLATED() QVERIFY2(Lab::isIsolated(), "not in a private network namespace: use run-in-netns.sh")

// Runs script with sh -e: false, with a warning of its errors, when it fails; what it printed goes to out.
bool shell(const QByteArray &script, QByteArray *out = nullptr);
// The packets of the one nftables counter that the command lists; -1 when it lists none.
int packets(const QByteArray &listCommand);
// Lets every group open ping sockets in this namespace (pelorin's echo socket is then a datagram one), or none (raw).
bool allowPingSockets(bool allow);

// How a device answers an HTTP request, whatever its path: {Page, "body"}.
struct Behaviour {
    enum Kind { Page /* status with body */, NoAnswer /* reads, never answers */, Raw /* body verbatim, then closes */,
                Trickle /* 200 declaring body, written one byte every 50 ms */ };
    Kind kind = Page;
    QByteArray body = {};
    QByteArray contentType = "text/html";
    bool keepAlive = false; // Page: offers to keep the connection after answering
};

struct Device;

class LabNetwork
{
public:
    ~LabNetwork(); // stops the devices

    // Serves HTTP on address:80, a loopback one or one inside the named network namespace of a layer-2 lab host;
    // the first request head of each connection, and the connections open.
    bool addDevice(const QString &address, const Behaviour &behaviour, const QString &netns = {});
    QList<QByteArray> requests(const QString &address) const;
    int openConnections(const QString &address) const;

    static QByteArray idPage(const QString &description); // a Quorvane identification page

private:
    friend class LanSegment;
    // Runs make on the servers' thread from inside the named network namespace; false when it could not enter.
    bool inNamespace(const QString &netns, const std::function<bool(QObject *parent)> &make);

    QHash<QString, std::shared_ptr<Device>> m_devices;
    QThread m_thread;  // serves every device
    QObject *m_servers = nullptr; // on m_thread, gone with its end: the parent of every device's server
};

} // namespace Lab
