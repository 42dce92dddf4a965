// The private test network of the lab tests. Only usable inside the network
// namespace that tests/lab/run-in-netns.sh makes: every call refuses to act
// anywhere else. Silent hosts are nftables drop rules; devices are small HTTP
// servers of ours bound to 127.0.0.x:80, each on its own thread.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <memory>

namespace Lab {

// True only when this process's network namespace has no interface but lo.
bool isIsolated();
// For QtTest initTestCase(): fails the test run unless isolated.
#define LAB_REQUIRE_ISOLATED() \
    do { if (!Lab::isIsolated()) QFAIL("not inside a private network namespace: run through run-in-netns.sh"); } while (0)

// How a device answers an HTTP request.
struct Behaviour {
    enum Kind {
        Page,              // status with body (for every path)
        NoAnswer,          // accepts, reads, never answers
        IdPageOnly,        // body for /id.htm, 404 with empty body otherwise
        Raw,               // writes rawResponse verbatim, then closes
        Trickle,           // 200 declaring body, written one byte every 50 ms
        ResetAfterHeaders, // headers declaring more than body, body, then a TCP reset
    };
    Kind kind = Page;
    QByteArray body;
    int status = 200;
    QByteArray contentType = "text/html";
    QByteArray rawResponse;
    bool keepAlive = false; // Page: offers to keep the connection after answering
};

class Device;

class LabNetwork
{
public:
    LabNetwork() = default;
    ~LabNetwork(); // stops devices and removes the nftables table

    // Drops every packet to this 127.0.0.x address (it neither answers ping nor HTTP).
    // 127.0.0.1 is refused: every loopback reply is addressed to it.
    bool addSilentHost(const QString &address);
    // Echo requests without the don't-fragment flag sent to address so far.
    int echoRequestCount(const QString &address) const;
    // Counts the SYNs sent to address:80 from now on; with dropFirst, the first
    // of them is lost on its way in, as on a lossy link.
    bool watchSyns(const QString &address, bool dropFirst = false);
    int synCount(const QString &address) const;

    // Serves HTTP on address:80.
    bool addDevice(const QString &address, const Behaviour &behaviour);
    // The paths of the requests the device at address has received.
    QList<QByteArray> requestPaths(const QString &address) const;
    int requestCount(const QString &address) const { return int(requestPaths(address).size()); }
    // Connections of the device at address that the client has not closed yet.
    int openConnections(const QString &address) const;

    static QByteArray idPage(const QString &description); // a Quorvane identification page
    static QByteArray garbage(); // random bytes with NULs (fixed seed)

private:
    bool nft(const QByteArray &script) const;
    bool addCounted(const QString &address, const QByteArray &prefix, const QByteArray &match, const QByteArray &inRule);
    int counterValue(QByteArray name) const; // dots of the address become _
    bool m_tableMade = false;
    QHash<QString, std::shared_ptr<Device>> m_devices;
};

} // namespace Lab
