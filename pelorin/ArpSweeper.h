// Pelorin's ARP sweep: one packet socket, opened at start while CAP_NET_RAW
// is raised (none without it), that asks for each address of a sweep with one
// ARP request, at most one every kPaceMs, asks the silent ones once more, and
// reports each address as it answers and all of them at the end. Owned by
// PelorinServer; one sweep runs at a time, later ones wait their turn.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace Pelorin {

class ArpSweeper : public QObject
{
    Q_OBJECT

public:
    static constexpr int kPaceMs = 1;

    struct Sweep {
        int interfaceIndex = 0;
        quint32 ownAddress = 0;  // host byte order, as every address here
        QList<quint32> targets;
        qint32 timeOutMs = 100;  // the wait after each pass
    };
    // Addresses that have just answered, in the order their replies came in.
    using Answered = std::function<void(const QList<quint32> &answered)>;
    // The addresses that answered, in the order they were asked for.
    using Done = std::function<void(const QList<quint32> &answered)>;

    explicit ArpSweeper(QObject *parent = nullptr);
    ~ArpSweeper() override;

    bool isUsable() const { return m_fd >= 0; }
    // Why there is no sweep, and how to allow it.
    QString unavailableReason() const;
    // Runs the sweep once those before it have ended; answered is called as
    // replies come in, done with all the answers at the end (none when
    // unusable or the interface has no MAC).
    void sweep(const Sweep &sweep, Answered answered, Done done);

private:
    void startNext();
    void sendNext();
    void endPass();
    void readReplies();
    void finish();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_reader;
    struct Queued {
        Sweep sweep;
        Answered answered;
        Done done;
    };
    std::deque<Queued> m_queue;
    bool m_running = false;
    quint64 m_ownMac = 0;
    QList<quint32> m_pass; // this pass's addresses
    qsizetype m_sent = 0;
    bool m_retried = false;
    QSet<quint32> m_asked;
    QSet<quint32> m_answered;
    QTimer m_pace;  // single shot: the next request, kPaceMs after the last
    QTimer m_wait;  // single shot: the end of a pass
};

} // namespace Pelorin
