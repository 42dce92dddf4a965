// The scan controller and the handling of the workers' answers.
#include "engine/ScanEngine.h"

#include "engine/IdPage.h"
#include "ProbeInterface.h"
#include "netinfo/VendorRegistry.h"

#include <QThread>

#include <algorithm>

namespace MsgBox = Pelorin::MsgBox;

ScanEngine::ScanEngine(ProbeFactory &factory, SettingsProvider settings, QObject *parent)
    : QObject(parent), m_factory(factory), m_settings(std::move(settings)),
      m_vendors(std::make_unique<VendorRegistry>())
{
    m_turn.setSingleShot(true);
    m_turn.setInterval(0);
    connect(&m_turn, &QTimer::timeout, this, &ScanEngine::dispatchTurn);
    connect(&m_factory, &ProbeFactory::readinessChanged, this, [this] {
        if (m_state == State::Pending) {
            m_state = State::Idle;
            begin();
        }
    });
    connect(&m_factory, &ProbeFactory::serverDied, this, [this](const QString &reason) {
        if (isScanning())
            failScan(QStringLiteral("Lanterra's probe server pelorin has stopped, so the scan has been stopped.\n\n")
                     + reason);
    });
}

ScanEngine::~ScanEngine()
{
    // Workers go first and quietly: nothing of them reaches a half-destroyed driver.
    for (Slot &s : m_slots)
        s.probe.reset();
}

void ScanEngine::setHardwareSources(const QString &neighbourTable, const QString &vendorRegistry)
{
    m_neighbours = NeighbourTable(neighbourTable);
    m_vendors = std::make_unique<VendorRegistry>(vendorRegistry);
}

bool ScanEngine::start(const QList<quint32> &addresses, int slotCount, bool moreToCome)
{
    Q_ASSERT(QThread::currentThread() == thread());
    if (isScanning() || (addresses.isEmpty() && !moreToCome) || slotCount < 1 || slotCount > kMaxSlotCount)
        return false;
    m_addresses = addresses;
    m_moreToCome = moreToCome;
    m_slots = std::vector<Slot>(std::size_t(slotCount));
    if (m_state == State::Pending)
        return true; // the held start takes the newer list
    return begin();
}

// The readiness check and the set-up; the first address goes out on the next turn.
bool ScanEngine::begin()
{
    QString problem;
    int style = MsgBox::OKOnly | MsgBox::Critical;
    switch (m_factory.readiness(&problem, &style)) {
    case ProbeFactory::Readiness::Pending:
        m_state = State::Pending;
        return true;
    case ProbeFactory::Readiness::Refused:
        emit message(problem, style);
        emit startRefused();
        return false;
    case ProbeFactory::Readiness::Ready:
        break;
    }
    m_rows.clear();
    m_failed = false;
    m_next = 0;
    m_probed = 0;
    m_scanClock.start();
    m_state = State::Dispatching;
    emit cursorChanged(0);
    emit started();
    if (m_state == State::Dispatching)
        m_turn.start();
    return true;
}

void ScanEngine::addAddresses(const QList<quint32> &more)
{
    if (!m_moreToCome || (m_state != State::Pending && m_state != State::Dispatching))
        return;
    m_addresses.append(more);
    updateProgress();
}

void ScanEngine::endAddresses()
{
    if (!m_moreToCome)
        return;
    m_moreToCome = false;
    if (m_state == State::Dispatching && m_next >= m_addresses.size()) {
        m_state = State::Draining;
        if (busyCount() == 0)
            finish();
    }
}

void ScanEngine::stop()
{
    if (m_state == State::Pending)
        m_state = State::Idle;
    if (!isScanning() || m_state == State::Stopping)
        return; // a driver may stop again from a signal of this stop
    m_state = State::Stopping;
    m_turn.stop();
    unloadAllWorkers();
    // Hosts listed before the stop keep what they have; their pages never come.
    QList<quint64> rows = m_rows.keys();
    std::sort(rows.begin(), rows.end());
    for (quint64 row : rows)
        completeRow(row);
    finish();
}

// One address per turn. With every slot busy no turn is due: the answer that
// frees a slot asks for the next one.
void ScanEngine::dispatchTurn()
{
    if (m_state != State::Dispatching)
        return;
    if (m_next >= m_addresses.size()) { // a list still open, or one closed before the start
        if (!m_moreToCome) {
            m_state = State::Draining;
            updateProgress();
        }
        return;
    }
    const int index = findFreeSlot();
    if (index < 0)
        return;
    startPing(index); // its progress update asks for the next turn
}

QString ScanEngine::addressText(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

int ScanEngine::findFreeSlot() const
{
    for (int index = 0; index < slotCount(); ++index) {
        if (!m_slots[std::size_t(index)].probe)
            return index;
    }
    return -1;
}

ScanProbe *ScanEngine::probeAt(int index) const
{
    return index >= 0 && index < slotCount() ? m_slots[std::size_t(index)].probe.get() : nullptr;
}

int ScanEngine::busyCount() const
{
    return int(std::count_if(m_slots.begin(), m_slots.end(), [](const Slot &s) { return bool(s.probe); }));
}

void ScanEngine::startPing(int index)
{
    const QString address = addressText(m_addresses.value(m_next));
    ScanProbe *probe = loadWorker(index);
    if (!probe)
        return;
    ++m_next;
    if (m_next >= m_addresses.size() && !m_moreToCome)
        m_state = State::Draining;
    emit cursorChanged(m_next);
    slot(index).address = address;
    const Settings settings = m_settings();
    probe->PingRequest(address, settings.timeOut, settings.retries);
    updateProgress();
}

void ScanEngine::startPageRequest(int index)
{
    ScanProbe *probe = probeAt(index);
    const Settings settings = m_settings();
    probe->HTTPRequest(m_rows.value(*slot(index).row).host, IdPage::kPort, QString::fromLatin1(IdPage::kFile),
                       settings.timeOut, settings.retries);
    updateProgress();
}

// Every answer and every request ends here. With no worker busy the scan is
// over once all addresses went out; before that the next turn goes on.
void ScanEngine::updateProgress()
{
    if (!isScanning() || m_state == State::Stopping)
        return;
    const int count = busyCount();
    if (count == 0 && m_state == State::Draining) {
        finish();
        return;
    }
    if (count > 0)
        emit progress(count);
    if (m_state == State::Dispatching && count < slotCount() && m_next < m_addresses.size() && !m_turn.isActive())
        m_turn.start();
}

void ScanEngine::finish()
{
    m_turn.stop();
    m_moreToCome = false;
    m_state = State::Idle;
    emit cursorChanged(-1);
    emit finished();
}

// Returns the slot's new probe. Null when none could be had: the scan then
// ends with one message.
ScanProbe *ScanEngine::loadWorker(int index)
{
    QString error;
    std::unique_ptr<ScanProbe> probe = m_factory.create(&error);
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
    slot(index) = Slot{std::move(probe), std::nullopt, QString()};
    return raw;
}

void ScanEngine::unloadWorker(int index)
{
    std::unique_ptr<ScanProbe> probe = std::move(slot(index).probe);
    slot(index).row.reset();
    if (probe)
        disconnect(probe.get(), nullptr, this, nullptr);
}

void ScanEngine::unloadAllWorkers()
{
    for (int index = 0; index < slotCount(); ++index)
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

// A probe's answer counts only while the probe still holds its slot: that is
// the slot's own token, so answers of a stopped scan, of a replaced worker or
// repeated ones change nothing.
void ScanEngine::onPingResponse(int index, ScanProbe *probe, const QString &ip, qint16 pingTime)
{
    if (probeAt(index) != probe || slot(index).row)
        return;
    ++m_probed;
    if (pingTime < 0) {
        const QString address = slot(index).address;
        // The echo request made the kernel ask ARP: a host that answered that is there all the same.
        if (m_arpLookup) {
            HostRecord record{address, 0, {}, m_arpLookup(address, m_scanClock.elapsed()), {}, HostRecord::Seen::Arp};
            if (!record.mac.isEmpty()) {
                record.vendor = m_vendors->vendorOf(record.mac);
                listHost(index, probe, record);
                return;
            }
        }
        unloadWorker(index);
        emit pingFailed(address, pingTime);
        updateProgress();
        return;
    }
    HostRecord record;
    record.host = ip;
    record.pingTime = pingTime;
    // The echo reply has just put the host in the neighbour table, if it is on the segment.
    record.mac = m_neighbours.macOf(ip);
    if (!record.mac.isEmpty())
        record.vendor = m_vendors->vendorOf(record.mac);
    listHost(index, probe, record);
}

// A new row for the slot's host; its page is asked for on the same slot.
void ScanEngine::listHost(int index, ScanProbe *probe, const HostRecord &record)
{
    const quint64 row = m_nextRow++;
    m_rows.insert(row, record);
    slot(index).row = row;
    emit hostFound(row, record);
    if (probeAt(index) == probe) // the driver may have stopped the scan
        startPageRequest(index);
}

void ScanEngine::onPageResponse(int index, ScanProbe *probe, const QString &text)
{
    if (probeAt(index) != probe || !slot(index).row)
        return;
    const quint64 row = *slot(index).row;
    // The text belongs to the probe: copied before it is released.
    const QString raw = text;
    unloadWorker(index);
    if (!raw.isEmpty() && IdPage::isIdentificationPage(raw) && m_rows.contains(row)) {
        if (const std::optional<QString> description = IdPage::description(raw)) {
            m_rows[row].description = *description;
            emit descriptionSet(row, *description);
        }
    }
    completeRow(row);
    updateProgress();
}

void ScanEngine::failScan(const QString &text)
{
    m_failed = true;
    stop();
    emit message(text, MsgBox::OKOnly | MsgBox::Critical);
}
