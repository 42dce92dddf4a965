#include "platform/SocketLayer.h"

#include <QMutex>
#include <QMutexLocker>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Pelorin {

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

namespace {

std::atomic<int> g_startupCount{0};

QMutex g_overrideMutex;
std::optional<SocketLayerOverride> g_override;
HostLookupFunction g_lookup;

// As many sockets as this process may open, within what a 16-bit count holds.
quint16 maxSockets()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 32767;
    return static_cast<quint16>(std::clamp<rlim_t>(limit.rlim_cur, 1, 32767));
}

HostEntryPtr systemLookup(const QByteArray &name)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return nullptr;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);

    auto entry = std::make_unique<HostEntry>();
    entry->h_name = found->ai_canonname ? QByteArray(found->ai_canonname) : name;
    entry->h_addrtype = kAddressFamilyInet;
    entry->h_length = 4;
    for (const addrinfo *ai = found; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr || ai->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in sin {};
        std::memcpy(&sin, ai->ai_addr, sizeof sin);
        if (!entry->h_addr_list.contains(sin.sin_addr.s_addr))
            entry->h_addr_list.append(sin.sin_addr.s_addr);
    }
    if (entry->h_addr_list.isEmpty())
        return nullptr;
    return entry;
}

} // namespace

int WSAStartup(quint16 versionRequested, WSADATA *data)
{
    Q_UNUSED(versionRequested);
    SocketLayerOverride reported {0, 0x0101, maxSockets()};
    {
        QMutexLocker lock(&g_overrideMutex);
        if (g_override)
            reported = *g_override;
    }
    if (reported.startupResult != 0)
        return reported.startupResult;
    if (!data)
        return -1;
    data->wVersion = reported.wVersion;
    data->wHighVersion = reported.wVersion;
    data->maxSockets = reported.maxSockets;
    data->maxUdpDatagram = 65467;
    g_startupCount.fetch_add(1);
    return 0;
}

int WSACleanup()
{
    int current = g_startupCount.load();
    while (current > 0) {
        if (g_startupCount.compare_exchange_weak(current, current - 1))
            return 0;
    }
    return -1;
}

int socketLayerStartupCount()
{
    return g_startupCount.load();
}

void setSocketLayerOverrideForTesting(std::optional<SocketLayerOverride> override)
{
    QMutexLocker lock(&g_overrideMutex);
    g_override = override;
}

HostEntryPtr gethostbyname(const QByteArray &name)
{
    // Text with an embedded terminator would be looked up as its first piece.
    if (name.isEmpty() || name.contains('\0'))
        return nullptr;
    HostLookupFunction lookup;
    {
        QMutexLocker lock(&g_overrideMutex);
        lookup = g_lookup;
    }
    return lookup ? lookup(name) : systemLookup(name);
}

void setHostLookupForTesting(HostLookupFunction lookup)
{
    QMutexLocker lock(&g_overrideMutex);
    g_lookup = std::move(lookup);
}

QByteArray inet_ntoa(quint32 address)
{
    in_addr in {};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &in, text, sizeof text))
        return QByteArray();
    return QByteArray(text);
}

} // namespace Pelorin
