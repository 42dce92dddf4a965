#include "ArpSweeper.h"

#include "ArpPacket.h"
#include "Capabilities.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Pelorin {

ArpSweeper::ArpSweeper(QObject *parent) : QObject(parent)
{
    m_fd = Capabilities::withNetRaw(
        [] { return ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP)); });
    m_pace.setSingleShot(true);
    m_pace.setTimerType(Qt::PreciseTimer);
    m_wait.setSingleShot(true);
    m_wait.setTimerType(Qt::PreciseTimer);
    connect(&m_pace, &QTimer::timeout, this, &ArpSweeper::sendNext);
    connect(&m_wait, &QTimer::timeout, this, &ArpSweeper::endPass);
    if (m_fd >= 0) {
        m_reader = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        m_reader->setEnabled(false);
        connect(m_reader.get(), &QSocketNotifier::activated, this, &ArpSweeper::readReplies);
    }
}

ArpSweeper::~ArpSweeper()
{
    m_reader.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

QString ArpSweeper::unavailableReason() const
{
    return QStringLiteral("pelorin may not send ARP requests, so --arp sweeps nothing and every address gets "
                          "echo requests. Give it raw sockets with: setcap cap_net_raw+p %1")
        .arg(QCoreApplication::applicationFilePath());
}

void ArpSweeper::sweep(const Sweep &sweep, Answered answered, Done done)
{
    m_queue.push_back({sweep, std::move(answered), std::move(done)});
    if (!m_running)
        startNext();
}

void ArpSweeper::startNext()
{
    while (!m_queue.empty()) {
        const Sweep &sweep = m_queue.front().sweep;
        ifreq request {};
        m_ownMac = 0;
        if (m_fd >= 0 && ::if_indextoname(unsigned(sweep.interfaceIndex), request.ifr_name)
            && ::ioctl(m_fd, SIOCGIFHWADDR, &request) == 0) {
            for (int i = 0; i < 6; ++i)
                m_ownMac = m_ownMac << 8 | quint8(request.ifr_hwaddr.sa_data[i]);
        }
        if (m_ownMac == 0 || sweep.targets.isEmpty()) {
            Done done = std::move(m_queue.front().done);
            m_queue.pop_front();
            done({});
            continue;
        }
        m_running = true;
        m_pass = sweep.targets;
        m_asked = QSet<quint32>(sweep.targets.cbegin(), sweep.targets.cend());
        m_answered.clear();
        m_sent = 0;
        m_retried = false;
        // Answers to anything before this sweep are not for it.
        char drain[64];
        while (::recv(m_fd, drain, sizeof drain, 0) >= 0) {
        }
        m_reader->setEnabled(true);
        sendNext();
        return;
    }
}

// One request, then the next kPaceMs later; after the last the pass waits its time-out.
void ArpSweeper::sendNext()
{
    const Sweep &sweep = m_queue.front().sweep;
    while (m_sent < m_pass.size() && m_answered.contains(m_pass[m_sent]))
        ++m_sent;
    if (m_sent == m_pass.size()) {
        m_wait.start(sweep.timeOutMs);
        return;
    }
    sockaddr_ll to {};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = sweep.interfaceIndex;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    const QByteArray packet = ArpPacket::request(m_ownMac, sweep.ownAddress, m_pass[m_sent]);
    // A request the kernel has no room for is dropped: the retry pass asks again.
    ::sendto(m_fd, packet.constData(), std::size_t(packet.size()), 0, reinterpret_cast<const sockaddr *>(&to),
             sizeof to);
    ++m_sent;
    m_pace.start(kPaceMs);
}

void ArpSweeper::endPass()
{
    QList<quint32> silent;
    for (const quint32 address : std::as_const(m_pass))
        if (!m_answered.contains(address))
            silent.append(address);
    if (m_retried || silent.isEmpty()) {
        finish();
        return;
    }
    m_retried = true;
    m_pass = silent;
    m_sent = 0;
    sendNext();
}

void ArpSweeper::readReplies()
{
    if (!m_running)
        return;
    const Sweep &sweep = m_queue.front().sweep;
    QByteArray packet(64, Qt::Uninitialized);
    QList<quint32> fresh;
    for (;;) {
        sockaddr_ll from {};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(m_fd, packet.data(), std::size_t(packet.size()), 0,
                                       reinterpret_cast<sockaddr *>(&from), &length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        if (from.sll_ifindex != sweep.interfaceIndex || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        const auto sender = ArpPacket::answeredTarget(packet.first(got), sweep.ownAddress, m_asked);
        if (sender && !m_answered.contains(*sender)) {
            m_answered.insert(*sender);
            fresh.append(*sender);
        }
    }
    if (!fresh.isEmpty())
        m_queue.front().answered(fresh);
    if (m_answered.size() == m_asked.size()) {
        m_pace.stop();
        m_wait.stop();
        finish();
    }
}

void ArpSweeper::finish()
{
    m_reader->setEnabled(false);
    QList<quint32> answered;
    for (const quint32 address : m_queue.front().sweep.targets)
        if (m_answered.contains(address))
            answered.append(address);
    Done done = std::move(m_queue.front().done);
    m_queue.pop_front();
    m_running = false;
    done(answered);
    if (!m_running)
        startNext();
}

} // namespace Pelorin
