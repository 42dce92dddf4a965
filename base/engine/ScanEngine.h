// The scan engine: walks the list of addresses taken at start, in order, hands
// each address to the lowest free slot (50 by default) as a ping, asks every
// host that answers for its identification page on the same slot, and
// reports hosts, descriptions, progress and the end by signals. Owned by its
// driver (the window or the command line), which supplies the probes and,
// per request, the time-out and retries. Runs on one thread and never blocks
// it: start() sets up and returns, and the dispatch goes on from the event
// loop, one address per turn, between the answers.
#pragma once

#include "engine/HostRecord.h"
#include "engine/ScanProbe.h"
#include "netinfo/NeighbourTable.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class VendorRegistry;

class ScanEngine : public QObject
{
    Q_OBJECT

public:
    // Pending: a start waits for the probe server to be decided on; nothing
    // has changed yet. Dispatching: addresses are still going out. Draining:
    // all went out, answers are awaited. Stopping: a stop is completing rows.
    enum class State { Idle, Pending, Dispatching, Draining, Stopping };
    struct Settings {
        qint32 timeOut = 1;
        quint8 retries = 1;
    };
    using SettingsProvider = std::function<Settings()>;
    // The MAC of a host that ARP found during the scan, which began scanMs
    // ago; empty when it did not (or the address is off the segment).
    using ArpLookup = std::function<QString(const QString &address, qint64 scanMs)>;

    static constexpr int kDefaultSlotCount = 50;
    static constexpr int kMaxSlotCount = 255;

    ScanEngine(ProbeFactory &factory, SettingsProvider settings, QObject *parent = nullptr);
    ~ScanEngine() override;

    // Pings addresses (IPv4, host byte order) in the order given, each on the
    // lowest free of slotCount (1 to 255) slots, once probes can be had. When
    // they can't, emits message and startRefused and changes nothing. Returns
    // at once: false when refused now, true when started or held until the
    // probe server is ready (the checks then run again). With moreToCome the
    // list may start empty and grows by addAddresses(); the scan ends only
    // after endAddresses().
    bool start(const QList<quint32> &addresses, int slotCount = kDefaultSlotCount, bool moreToCome = false);
    // Appends to the list of a scan started with moreToCome; they go out as
    // slots free up, after those given before.
    void addAddresses(const QList<quint32> &more);
    // No address comes any more: the scan ends once the list is done.
    void endAddresses();
    // Ends a running scan: nothing more is handed out, every worker goes,
    // and rows still awaiting their page are completed without one. Drops a
    // start that is still held.
    void stop();

    State state() const { return m_state; }
    // A scan has started and not yet finished.
    bool isScanning() const { return m_state != State::Idle && m_state != State::Pending; }
    int busyCount() const;
    int slotCount() const { return int(m_slots.size()); }
    // Addresses of the running (or last) scan, and how many went out so far.
    qsizetype addressCount() const { return m_addresses.size(); }
    qsizetype dispatchedCount() const { return m_next; }
    // How many of them were really probed: their ping has answered, one way or the other.
    qsizetype probedCount() const { return m_probed; }
    ScanProbe *probeAt(int slot) const; // slots count from 0
    // The last scan was ended by a failed or vanished probe server.
    bool failed() const { return m_failed; }
    // Where a listed host's MAC and vendor are looked up (the kernel's
    // neighbour table and the IEEE registry by default). The registry is read
    // once, at the first host that has a MAC.
    void setHardwareSources(const QString &neighbourTable, const QString &vendorRegistry);
    // With a look-up, an address whose ping failed is listed all the same
    // (seen through ARP, no ping time) when the look-up has its MAC, and its
    // page is asked for as for any host. None by default: echo alone lists.
    void setArpLookup(ArpLookup lookup) { m_arpLookup = std::move(lookup); }

    // Dotted text of an address in host byte order.
    static QString addressText(quint32 address);

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
    // A start was refused (after its message): no scan runs.
    void startRefused();
    // How many addresses have been handed out; -1 when no scan runs.
    void cursorChanged(qsizetype dispatched);

private:
    struct Slot {
        std::unique_ptr<ScanProbe> probe;
        std::optional<quint64> row; // the row whose page this slot fetches, none while pinging
        QString address; // the address pinged
    };

    bool begin();
    void dispatchTurn();
    int findFreeSlot() const; // the lowest free slot; -1 when every one is busy
    void startPing(int index);
    void startPageRequest(int index);
    void updateProgress();
    void finish();
    ScanProbe *loadWorker(int index);
    void unloadWorker(int index);
    void unloadAllWorkers();
    void completeRow(quint64 row);
    void onPingResponse(int index, ScanProbe *probe, const QString &ip, qint16 pingTime);
    void listHost(int index, ScanProbe *probe, const HostRecord &record);
    void onPageResponse(int index, ScanProbe *probe, const QString &text);
    void failScan(const QString &text);
    Slot &slot(int index) { return m_slots[std::size_t(index)]; }

    ProbeFactory &m_factory;
    SettingsProvider m_settings;
    NeighbourTable m_neighbours;
    std::unique_ptr<VendorRegistry> m_vendors;
    ArpLookup m_arpLookup;
    QElapsedTimer m_scanClock; // since the scan's set-up
    // The next dispatch turn: a zero-time call from the event loop.
    QTimer m_turn;

    State m_state = State::Idle;
    std::vector<Slot> m_slots = std::vector<Slot>(kDefaultSlotCount);
    QList<quint32> m_addresses;
    qsizetype m_next = 0; // the next address to hand out
    bool m_moreToCome = false; // the list may still grow
    qsizetype m_probed = 0;
    // Listed rows until complete: their page is awaited.
    QHash<quint64, HostRecord> m_rows;
    quint64 m_nextRow = 0;
    bool m_failed = false; // how the last scan ended
};
