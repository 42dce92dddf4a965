// The scan engine: walks the list of addresses taken at start, in order, hands
// each address to the lowest free slot (50 by default) as a ping, asks every host that
// answers for its identification page on the same slot, and reports hosts,
// descriptions, progress and the end by signals. Owned by its driver (the
// window or the command line), which supplies the probes and, per request,
// the time-out and retries. Runs on one thread: start() holds the dispatch
// loop, and answers, stop and closes are handled at its yields.
#pragma once

#include "engine/HostRecord.h"
#include "engine/ScanChecks.h"
#include "engine/ScanProbe.h"
#include "netinfo/NeighbourTable.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <vector>

class VendorRegistry;

class ScanEngine : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Dispatching, Draining };
    struct Settings {
        qint32 timeOut = 1;
        quint8 retries = 1;
    };
    using SettingsProvider = std::function<Settings()>;

    static constexpr int kDefaultSlotCount = 50;
    static constexpr int kMaxSlotCount = 255;

    ScanEngine(ProbeFactory &factory, SettingsProvider settings, QObject *parent = nullptr);
    ~ScanEngine() override;

    // Checks that probes can be had (else emits message and changes nothing),
    // then pings addresses (IPv4, host byte order) in the order given, each on
    // the lowest free of slotCount (1 to 255) slots. False, changing nothing,
    // when the scan can't start. Returns when dispatching has ended: the scan
    // is then Draining (the last answer ends it) or Idle.
    bool start(const QList<quint32> &addresses, int slotCount = kDefaultSlotCount);
    // Ends a running scan: nothing more is handed out, every worker goes,
    // and rows still awaiting their page are completed without one.
    void stop();

    State state() const { return m_state; }
    bool isScanning() const { return m_state != State::Idle; }
    int busyCount() const;
    int slotCount() const { return int(m_slots.size()) - 1; }
    // Addresses of the running (or last) scan, and how many went out so far.
    qsizetype addressCount() const { return m_addresses.size(); }
    qsizetype dispatchedCount() const { return m_next; }
    ScanProbe *probeAt(int slot) const;
    // The last scan was ended by a failed or vanished probe server.
    bool failed() const { return m_failed; }
    // Where a listed host's MAC and vendor are looked up (the kernel's
    // neighbour table and the IEEE registry by default). The registry is read
    // once, at the first host that has a MAC.
    void setHardwareSources(const QString &neighbourTable, const QString &vendorRegistry);

    // Dotted text of an address in host byte order.
    static QString addressText(quint32 address);

    QString nextAddress();
    // The lowest free slot, or slotCount() + 1 when every slot is busy.
    int findFreeSlot() const;
    bool isSlotLoaded(int index) const;
    void startPing(int index);
    void startPageRequest(int index);
    void updateProgress();
    void scanFinished();

signals:
    void started();
    void hostFound(quint64 row, const HostRecord &record);
    // A ping answered with a negative result: the address is not listed.
    void pingFailed(const QString &address, qint16 result);
    void descriptionSet(quint64 row, const QString &description);
    // The row's page has been answered, or it will get none.
    void rowComplete(quint64 row, const HostRecord &record);
    void progress(int busy);
    void finished();
    void message(const QString &text, int style);
    // How many addresses have been handed out; -1 when no scan runs.
    void cursorChanged(qsizetype dispatched);

private:
    struct Slot {
        std::unique_ptr<ScanProbe> probe;
        quint64 row = 0; // the row whose page this slot fetches, 0 while pinging
        QString address; // the address pinged
    };

    void runDispatchLoop();
    void restoreIdle();
    ScanProbe *loadWorker(int index);
    void unloadWorker(int index);
    void unloadAllWorkers();
    void completeRow(quint64 row);
    void onPingResponse(int index, ScanProbe *probe, const QString &ip, qint16 pingTime);
    void onPageResponse(int index, ScanProbe *probe, const QString &text);
    void failScan(const QString &text);
    void setCursor(qsizetype dispatched);

    ProbeFactory &m_factory;
    SettingsProvider m_settings;
    NeighbourTable m_neighbours;
    std::unique_ptr<VendorRegistry> m_vendors;
    std::vector<Slot> m_slots = std::vector<Slot>(kDefaultSlotCount + 1); // index 0 unused

    State m_state = State::Idle;
    QList<quint32> m_addresses;
    qsizetype m_next = 0; // the next address to hand out
    // Listed rows until complete, and those not yet handed to a page request.
    QHash<quint64, HostRecord> m_rows;
    QList<quint64> m_awaitingPage;
    quint64 m_nextRow = 1;

    bool m_dispatchDone = false;
    bool m_threadsBusy = false;
    bool m_scanAnnounced = true;
    bool m_failureShown = false;
    bool m_failed = false;
    bool m_stopping = false;
    // Counts Starts and Stops: work begun in one scan is dropped when the scan
    // it belonged to has been stopped meanwhile.
    quint64 m_generation = 0;
};
