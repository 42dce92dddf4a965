// Inner state of PelorinClient::Connection, shared with the probe object
// proxies of the same library. Lives on the client's (GUI) thread.
#pragma once

#include "client/PelorinConnection.h"
#include "ProbeProtocol.h"
#include "LanterraLog.h"

#include <QHash>
#include <QSet>
#include <QTimer>

class QProcess;

namespace PelorinClient {

struct Connection::Private {
    explicit Private(Connection *owner) : q(owner) {}

    bool start(QString *error);
    template <class Packet>
    void send(quint32 objectId, const Packet &packet) { sendFrame(Pelorin::Wire::encode(objectId, packet)); }
    void sendFrame(const QByteArray &frame);
    void readFrames();
    void serverEnded(const QString &reason);
    void discardProcess();
    // Copies what pelorin wrote to stderr to this program's stderr.
    void forwardServerErrors();
    // One per packet the server sends, for the object id of its frame.
    void on(quint32 id, const Pelorin::Wire::Greeting &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::PingResponse &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::HttpReqResponse &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::MessageBox &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::ProtocolError &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::ArpSweepResult &m, quint64 generation);
    void on(quint32 id, const Pelorin::Wire::ArpSweepAnswers &m, quint64 generation);
    template <class Packet>
        requires(!Packet::kFromServer)
    void on(quint32, const Packet &, quint64)
    {
        qCWarning(lcLanterra, "pelorin sent a %s frame, which only a client sends",
                  Pelorin::Wire::typeName(Packet::kType));
    }
    template <class Event>
    void deliverEvent(quint32 objectId, Event m, quint64 generation);
    void deliverMessageBox(quint32 objectId, const Pelorin::Wire::MessageBox &m, quint64 generation);
    quint32 allocateObjectId();
    bool isCurrent(quint64 gen) const { return process && gen == generation; }

    Connection *q;
    QString serverPath;
    QProcess *process = nullptr;
    Pelorin::Wire::FrameReader reader;
    quint64 generation = 0; // of the current or latest server
    bool alive = false;     // the current server runs and has greeted us
    bool echoUsable = false;
    QString echoReason;
    QTimer greetingTimer; // a server that stays silent counts as failed
    quint32 nextObjectId = 1;
    QHash<quint32, ProbeObjectProxy *> objects; // proxies held in the current server
    QSet<ProbeObjectProxy *> proxies;           // every proxy that refers to this connection
    MessageBoxHandler messageBoxHandler;
    QHash<quint32, std::pair<SweepAnswers, SweepDone>> sweeps; // ARP sweeps awaiting their result, by id
    quint32 nextSweepId = 1;
};

} // namespace PelorinClient
