// The probe server process: reads the client's frames from stdin, creates and
// releases probe objects, routes calls and answers to them, and ends when the
// client's pipe closes. Every object runs on this one event loop, sharing the
// server's echo socket, ARP sweeper and libcurl multi handle.
#pragma once

#include "ArpSweeper.h"
#include "EchoSocket.h"
#include "HostResolver.h"
#include "HttpClient.h"
#include "PipeWriter.h"
#include "ProbeObject.h"
#include "ProbeProtocol.h"

#include <QObject>

#include <map>
#include <memory>

class QSocketNotifier;

namespace Pelorin {

class PelorinServer : public QObject
{
    Q_OBJECT

public:
    // Live objects; a Create beyond this is refused.
    static constexpr int kMaxObjects = 1024;

    PelorinServer(int inFd, int outFd, QObject *parent = nullptr);
    ~PelorinServer() override;

    // Sends the greeting and starts reading. False when stdout is already closed.
    bool start();

signals:
    // The pipe has closed and every object has ended.
    void finished(int exitCode);

private:
    void readInput();
    void handle(const Wire::FrameReader::Frame &frame);
    // One per packet a client sends, for the object id of its frame; the
    // refusal, empty when there is none.
    QString on(quint32 id, const Wire::Create &m);
    QString on(quint32 id, const Wire::Release &m);
    QString on(quint32 id, const Wire::HttpRequest &m);
    QString on(quint32 id, const Wire::PingRequest &m);
    QString on(quint32 id, const Wire::EventReturn &m);
    QString on(quint32 id, const Wire::MessageBoxAnswer &m);
    QString on(quint32 id, const Wire::ArpSweep &m);
    template <class Packet>
        requires Packet::kFromServer
    QString on(quint32, const Packet &)
    {
        return QStringLiteral("%1 is sent by the server only").arg(QLatin1String(Wire::typeName(Packet::kType)));
    }
    void release(quint32 objectId);
    // The live object of that id; null, reported for a frame of that type, when there is none.
    ProbeObject *find(quint32 id, Wire::Type type);
    void protocolError(quint32 objectId, const QString &text);
    void shutdown();
    void endIfDone();

    int m_inFd;
    PipeWriter m_writer;
    EchoSocket m_echo;
    ArpSweeper m_arp; // before the capabilities are dropped, as the echo socket
    HttpService m_http;
    HostResolver m_resolver;
    Wire::FrameReader m_reader;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::map<quint32, std::unique_ptr<ProbeObject>> m_objects;
    int m_ending = 0; // released objects whose procedures are still ending
    bool m_shuttingDown = false;
};

} // namespace Pelorin
