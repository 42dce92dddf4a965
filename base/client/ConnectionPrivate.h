// Inner state of PelorinClient::Connection, shared with the probe object
// proxies of the same library. Lives on the client's (GUI) thread.
#pragma once

#include "client/PelorinConnection.h"
#include "ProbeProtocol.h"

#include <QHash>
#include <QSet>
#include <QTimer>

class QProcess;

namespace PelorinClient {

struct Connection::Private {
    explicit Private(Connection *owner) : q(owner) {}

    bool start(QString *error);
    template <class Packet>
    void send(const Packet &packet) { sendFrame(Pelorin::Wire::encode(packet)); }
    void sendFrame(const QByteArray &frame);
    void readFrames();
    void serverEnded(const QString &reason);
    void discardProcess();
    // Copies what pelorin wrote to stderr to this program's stderr.
    void forwardServerErrors();
    template <class Event>
    void deliverEvent(Event m, quint64 generation);
    void deliverMessageBox(const Pelorin::Wire::MessageBox &m, quint64 generation);
    quint32 allocateObjectId();
    bool isCurrent(quint64 gen) const { return process && gen == generation; }

    Connection *q;
    QString serverPath;
    QProcess *process = nullptr;
    Pelorin::Wire::FrameReader reader;
    quint64 generation = 0; // of the current or latest server
    bool alive = false;     // the current server runs and has greeted us
    QString startFailure;  // why the latest start ended before its greeting
    bool greeted = false;
    bool echoUsable = false;
    QString echoReason;
    QTimer greetingTimer; // a server that stays silent counts as failed
    QString endReason;
    quint32 nextObjectId = 1;
    QHash<quint32, ProbeObjectProxy *> objects; // proxies held in the current server
    QSet<ProbeObjectProxy *> proxies;           // every proxy that refers to this connection
    MessageBoxHandler messageBoxHandler;
    QHash<quint32, std::pair<SweepAnswers, SweepDone>> sweeps; // ARP sweeps awaiting their result, by id
    quint32 nextSweepId = 1;
};

} // namespace PelorinClient
