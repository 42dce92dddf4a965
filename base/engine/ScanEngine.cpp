// The scan controller and the handling of the workers' answers.
#include "engine/ScanEngine.h"

#include "engine/IdPage.h"
#include "engine/ScanProbe.h"
#include "ProbeInterface.h"
#include "netinfo/VendorRegistry.h"

#include <QCoreApplication>
#include <QPointer>
#include <QScopedValueRollback>
#include <QThread>

#include <algorithm>

namespace MsgBox = Pelorin::MsgBox;

ScanEngine::ScanEngine(ProbeFactory &factory, SettingsProvider settings, QObject *parent)
    : QObject(parent), m_factory(factory), m_settings(std::move(settings)), m_vendors(std::make_unique<VendorRegistry>())
{
    connect(&m_factory, &ProbeFactory::serverDied, this, [this](const QString &reason) {
        if (isScanning())
            failScan(QStringLiteral("Lanterra's probe server pelorin has stopped, so the scan has been stopped.\n\n")
                     + reason);
    });
}

ScanEngine::~ScanEngine()
{
    // Workers go first and quietly: nothing of them reaches a half-destroyed driver.
    for (Slot &slot : m_slots)
        slot.probe.reset();
}

void ScanEngine::setHardwareSources(const QString &neighbourTable, const QString &vendorRegistry)
{
    m_neighbours = NeighbourTable(neighbourTable);
    m_vendors = std::make_unique<VendorRegistry>(vendorRegistry);
}

bool ScanEngine::start(const ScanRange &range)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (isScanning())
        return false;
    QString problem;
    int style = MsgBox::OKOnly | MsgBox::Critical;
    switch (m_factory.readiness(&problem, &style)) {
    case ProbeFactory::Readiness::Ready:
        break;
    case ProbeFactory::Readiness::Refused:
        emit message(problem, style);
        return false;
    case ProbeFactory::Readiness::Pending:
        // The probe server is still starting: the start is held until it has
        // decided, then tried again; a refusal then ends the held scan.
        connect(&m_factory, &ProbeFactory::readinessChanged, this, [this, range] {
            if (!isScanning() && !start(range)) {
                m_failed = true;
                emit finished();
            }
        }, Qt::SingleShotConnection);
        return true;
    }

    m_range = range;
    m_rows.clear();
    m_awaitingPage.clear();
    unloadAllWorkers();
    ++m_generation;
    m_scanAnnounced = false;
    m_failureShown = false;
    m_failed = false;
    m_dispatchDone = false;
    m_threadsBusy = false;
    m_state = State::Dispatching;
    setCursor(range.lower);
    emit started();

    runDispatchLoop();
    return true;
}

void ScanEngine::stop()
{
    if (!isScanning() || m_stopping)
        return; // a driver may stop again from a signal of this stop
    const QScopedValueRollback<bool> stopping(m_stopping, true);
    m_dispatchDone = true;
    ++m_generation;
    unloadAllWorkers();
    // Hosts listed before the stop keep what they have; their pages never come.
    QList<quint64> rows = m_rows.keys();
    std::sort(rows.begin(), rows.end());
    for (quint64 row : rows)
        completeRow(row);
    m_awaitingPage.clear();
    scanFinished();
}

// One address per pass, one yield per pass. With every slot busy the loop
// sleeps in the event loop until something arrives (an answer frees a slot,
// stop, a close) rather than spinning.
void ScanEngine::runDispatchLoop()
{
    QPointer<ScanEngine> self(this);
    while (!m_dispatchDone) {
        const quint8 slot = findFreeSlot();
        if (slot <= kSlotCount) {
            startPing(slot);
            if (!self)
                return;
            QCoreApplication::processEvents();
        } else {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        if (!self)
            return;
    }
    if (m_state == State::Dispatching)
        m_state = State::Draining;

    if (m_threadsBusy)
        return; // draining: the last answer announces completion
    if (!m_scanAnnounced)
        scanFinished();
    else
        restoreIdle();
}

void ScanEngine::restoreIdle()
{
    m_state = State::Idle;
    setCursor(-1);
}

void ScanEngine::setCursor(int octet)
{
    m_cursor = octet;
    emit cursorChanged(octet);
}

QString ScanEngine::nextAddress()
{
    const QString address = m_range.network + QLatin1Char('.') + QString::number(m_cursor);
    if (m_cursor != m_range.upper)
        setCursor(m_cursor + 1);
    return address;
}

quint8 ScanEngine::findFreeSlot() const
{
    for (quint8 slot = 1; slot <= kSlotCount; ++slot) {
        if (!isSlotLoaded(slot))
            return slot;
    }
    return kNoFreeSlot;
}

bool ScanEngine::isSlotLoaded(quint8 index) const
{
    return index >= 1 && index <= kSlotCount && m_slots[index].probe;
}

ScanProbe *ScanEngine::probeAt(quint8 slot) const
{
    return isSlotLoaded(slot) ? m_slots[slot].probe.get() : nullptr;
}

int ScanEngine::busyCount() const
{
    return int(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot &s) { return bool(s.probe); }));
}

void ScanEngine::startPing(quint8 index)
{
    const QString ip = nextAddress();
    const quint64 generation = m_generation;
    ScanProbe *probe = loadWorker(index);
    if (!probe || generation != m_generation)
        return;
    const Settings settings = m_settings();
    probe->PingRequest(ip, settings.timeOut, settings.retries);
    if (generation != m_generation)
        return;
    updateProgress();
    if (m_cursor >= m_range.upper)
        m_dispatchDone = true;
}

void ScanEngine::startPageRequest(quint8 index)
{
    if (m_awaitingPage.isEmpty()) {
        m_dispatchDone = true;
        return;
    }
    const quint64 generation = m_generation;
    ScanProbe *probe = loadWorker(index);
    if (!probe || generation != m_generation)
        return;
    const quint64 row = m_awaitingPage.takeFirst();
    m_slots[index].row = row;
    const Settings settings = m_settings();
    probe->HTTPRequest(m_rows.value(row).host, IdPage::kPort, QString::fromLatin1(IdPage::kFile),
                       settings.timeOut, settings.retries);
    if (generation != m_generation)
        return;
    updateProgress();
}

void ScanEngine::updateProgress()
{
    const int count = busyCount();
    if (count == 0) {
        if (m_state == State::Dispatching && !m_dispatchDone) {
            // Every worker answered before the next address went out: the
            // scan is not over, the dispatch loop announces its end.
            m_threadsBusy = false;
            return;
        }
        scanFinished();
        return;
    }
    m_threadsBusy = true;
    emit progress(count);
}

void ScanEngine::scanFinished()
{
    m_threadsBusy = false;
    m_scanAnnounced = true;
    restoreIdle();
    emit finished();
}

// Returns the slot's probe, creating it when the slot is free. Null when the
// scan was stopped while it was being made, or no probe could be had (then
// the scan ends with one message).
ScanProbe *ScanEngine::loadWorker(quint8 index)
{
    if (ScanProbe *loaded = probeAt(index))
        return loaded;

    const quint64 generation = m_generation;
    QString error;
    std::unique_ptr<ScanProbe> probe = m_factory.create(&error);
    // Making a worker yields once, as sizing the window's worker shell does:
    // answers of other workers may be handled here.
    QPointer<ScanEngine> self(this);
    QCoreApplication::processEvents();
    if (!self || generation != m_generation || isSlotLoaded(index))
        return nullptr;
    if (!probe || !probe->isAlive()) {
        if (error.isEmpty())
            error = QStringLiteral("The probe object could not be created.");
        failScan(QStringLiteral("Lanterra could not get a worker from its probe server pelorin, so the scan has "
                                "been stopped.\n\n")
                 + error);
        return nullptr;
    }
    ScanProbe *raw = probe.get();
    connect(raw, &ScanProbe::PingResponse, this,
            [this, index, raw](const QString &ip, qint16 pingTime) { onPingResponse(index, raw, ip, pingTime); });
    connect(raw, &ScanProbe::HTTPReqResponse, this,
            [this, index, raw](const QString &, const QString &text) { onPageResponse(index, raw, text); });
    m_slots[index].probe = std::move(probe);
    m_slots[index].row = 0;
    return raw;
}

void ScanEngine::unloadWorker(quint8 index)
{
    if (!isSlotLoaded(index))
        return;
    std::unique_ptr<ScanProbe> probe = std::move(m_slots[index].probe);
    m_slots[index].row = 0;
    disconnect(probe.get(), nullptr, this, nullptr);
}

void ScanEngine::unloadAllWorkers()
{
    for (quint8 index = 1; index <= kSlotCount; ++index)
        unloadWorker(index);
}

void ScanEngine::completeRow(quint64 row)
{
    const auto it = m_rows.constFind(row);
    if (it == m_rows.constEnd())
        return;
    const HostRecord record = it.value();
    m_rows.erase(it);
    emit rowComplete(row, record);
}

void ScanEngine::onPingResponse(quint8 index, ScanProbe *probe, const QString &ip, qint16 pingTime)
{
    if (probeAt(index) != probe || m_slots[index].row != 0)
        return; // a worker of a stopped scan, or a repeated answer
    if (pingTime < 0) {
        unloadWorker(index);
        updateProgress();
        return;
    }
    const quint64 row = m_nextRow++;
    HostRecord record;
    record.host = ip;
    record.pingTime = pingTime;
    // The echo reply has just put the host in the neighbour table, if it is on the segment.
    record.mac = m_neighbours.macOf(ip);
    if (!record.mac.isEmpty())
        record.vendor = m_vendors->vendorOf(record.mac);
    m_rows.insert(row, record);
    m_awaitingPage.append(row);
    const quint64 generation = m_generation;
    emit hostFound(row, record);
    if (generation == m_generation) // the driver may have stopped the scan
        startPageRequest(index);
}

void ScanEngine::onPageResponse(quint8 index, ScanProbe *probe, const QString &text)
{
    if (probeAt(index) != probe || m_slots[index].row == 0)
        return;
    const quint64 row = m_slots[index].row;
    // The text belongs to the probe: copied before it is released.
    const QString raw = text;
    unloadWorker(index);
    const quint64 generation = m_generation;
    if (!raw.isEmpty() && IdPage::isIdentificationPage(raw) && m_rows.contains(row)) {
        if (const std::optional<QString> description = IdPage::description(raw)) {
            m_rows[row].description = *description;
            emit descriptionSet(row, *description);
        }
    }
    completeRow(row);
    if (generation == m_generation)
        updateProgress();
}

void ScanEngine::failScan(const QString &text)
{
    m_failed = true;
    stop();
    if (m_failureShown)
        return;
    m_failureShown = true;
    emit message(text, MsgBox::OKOnly | MsgBox::Critical);
}
