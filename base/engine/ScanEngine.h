// The scan engine: walks the fourth octet of the range taken at start, hands
// each address to the lowest free of 50 slots as a ping, asks every host that
// answers for its identification page on the same slot, and reports hosts,
// descriptions, progress and the end by signals. Owned by its driver (the
// window or the command line), which supplies the probes and, per request,
// the time-out and retries. Runs on one thread: start() holds the dispatch
// loop, and answers, stop and closes are handled at its yields.
#pragma once

#include "engine/HostRecord.h"
#include "engine/ScanChecks.h"
#include "netinfo/NeighbourTable.h"

#include <QHash>
#include <QList>
#include <QObject>

#include <array>
#include <functional>
#include <memory>

class ProbeFactory;
class ScanProbe;
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

    static constexpr quint8 kSlotCount = 50;
    static constexpr quint8 kNoFreeSlot = 51;

    ScanEngine(ProbeFactory &factory, SettingsProvider settings, QObject *parent = nullptr);
    ~ScanEngine() override;

    // Checks that probes can be had (else emits message and changes nothing),
    // then scans range. Returns when dispatching has ended: the scan is then
    // Draining (the last answer ends it) or Idle.
    bool start(const ScanRange &range);
    // Ends a running scan: nothing more is handed out, every worker goes,
    // and rows still awaiting their page are completed without one.
    void stop();

    State state() const { return m_state; }
    bool isScanning() const { return m_state != State::Idle; }
    int busyCount() const;
    ScanProbe *probeAt(quint8 slot) const;
    // The last scan was ended by a failed or vanished probe server.
    bool failed() const { return m_failed; }
    // Where a listed host's MAC and vendor are looked up (the kernel's
    // neighbour table and the IEEE registry by default). The registry is read
    // once, at the first host that has a MAC.
    void setHardwareSources(const QString &neighbourTable, const QString &vendorRegistry);

    QString nextAddress();
    quint8 findFreeSlot() const;
    bool isSlotLoaded(quint8 index) const;
    void startPing(quint8 index);
    void startPageRequest(quint8 index);
    void updateProgress();
    void scanFinished();

signals:
    void started();
    void hostFound(quint64 row, const HostRecord &record);
    void descriptionSet(quint64 row, const QString &description);
    // The row's page has been answered, or it will get none.
    void rowComplete(quint64 row, const HostRecord &record);
    void progress(int busy);
    void finished();
    void message(const QString &text, int style);
    // The fourth octet of the next address; -1 when no scan runs.
    void cursorChanged(int octet);

private:
    struct Slot {
        std::unique_ptr<ScanProbe> probe;
        quint64 row = 0; // the row whose page this slot fetches, 0 while pinging
    };

    void runDispatchLoop();
    void restoreIdle();
    ScanProbe *loadWorker(quint8 index);
    void unloadWorker(quint8 index);
    void unloadAllWorkers();
    void completeRow(quint64 row);
    void onPingResponse(quint8 index, ScanProbe *probe, const QString &ip, qint16 pingTime);
    void onPageResponse(quint8 index, ScanProbe *probe, const QString &text);
    void failScan(const QString &text);
    void setCursor(int octet);

    ProbeFactory &m_factory;
    SettingsProvider m_settings;
    NeighbourTable m_neighbours;
    std::unique_ptr<VendorRegistry> m_vendors;
    std::array<Slot, kSlotCount + 1> m_slots; // index 0 unused: slots are 1 to 50

    State m_state = State::Idle;
    ScanRange m_range;
    int m_cursor = -1;
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
