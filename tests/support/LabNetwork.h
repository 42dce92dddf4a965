// The private test network of the lab tests. Only usable inside the network
// namespace that tests/lab/run-in-netns.sh makes: requireIsolated() refuses to
// go on anywhere else. Silent hosts are nftables drop rules; devices are small
// HTTP servers of ours bound to 127.0.0.x:80, each on its own thread.
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
        Page,        // 200 with body (for every path)
        EmptyBody,   // 200 with an empty body
        NoAnswer,    // accepts, reads, never answers
        ErrorStatus, // status with body (e.g. 404 page)
        IdPageOnly,  // body for /id.htm, 404 with empty body otherwise
        Raw,         // writes rawResponse verbatim, then closes

        // Hostile devices.
        HugeBody,          // 200 declaring streamBytes of filler lines, written only as the client reads
        Trickle,           // 200 declaring body, written one byte every trickleMs
        Garbage,           // 200 with garbage() as body: random bytes, NULs included
        BadChunked,        // chunked: a good first chunk "hello", then the size line badChunkSize
        RedirectLoop,      // 302 whose Location is the requested URL itself, body as its body
        ResetAfterHeaders, // headers declaring more than body, body, then a TCP reset
        ScriptIdPage,      // idPage(scriptDescription())
    };
    Kind kind = Page;
    QByteArray body;
    int status = 200;
    QByteArray contentType = "text/html";
    QByteArray rawResponse;
    qint64 streamBytes = 100 * 1024 * 1024; // HugeBody
    int trickleMs = 50;                     // Trickle
    QByteArray badChunkSize = "zz";         // BadChunked
    bool keepAlive = false;                 // Page, EmptyBody: offers to keep the connection after answering
};

class Device;

class LabNetwork
{
public:
    LabNetwork();
    ~LabNetwork(); // stops devices and removes the nftables table

    // Drops every packet to this 127.0.0.x address (it neither answers ping nor HTTP).
    // 127.0.0.1 is refused: every loopback reply is addressed to it.
    bool addSilentHost(const QString &address);
    // Echo requests without the don't-fragment flag sent to address so far
    // (counted in the output hook).
    int echoRequestCount(const QString &address) const;
    // Counts the SYNs sent to address:80 from now on; with dropFirst, the first
    // of them is lost on its way in, as on a lossy link.
    bool watchSyns(const QString &address, bool dropFirst = false);
    int synCount(const QString &address) const;

    // Serves HTTP on address:80.
    bool addDevice(const QString &address, const Behaviour &behaviour);
    // Requests that the device at address has received.
    int requestCount(const QString &address) const;
    QList<QByteArray> requestPaths(const QString &address) const;
    // Body bytes the device at address has handed to its sockets so far.
    qint64 bytesSent(const QString &address) const;
    // Connections of the device at address that the client has not closed yet.
    int openConnections(const QString &address) const;

    static QByteArray idPage(const QString &description); // a Quorvane identification page
    static QByteArray fillerLine();       // the 64-byte line a HugeBody repeats
    static QByteArray garbage();          // the body of a Garbage device (fixed seed)
    static QString scriptDescription();   // the description of a ScriptIdPage device

private:
    bool nft(const QByteArray &script) const;
    bool addCounted(const QString &address, const QByteArray &prefix, const QByteArray &match, const QByteArray &inRule);
    int counterValue(const QByteArray &name) const;
    void ensureTable();
    bool m_tableMade = false;
    QHash<QString, std::shared_ptr<Device>> m_devices;
};

} // namespace Lab
