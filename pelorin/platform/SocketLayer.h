// The socket layer under the ping module, in the shape it expects of the
// platform's sockets library: a start-up/clean-up pair with a process-wide
// count, a host lookup that returns an owned entry (safe on any thread), and
// the dotted-text form of an address. Also the descriptor owner used by the
// echo service.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <optional>

namespace Pelorin {

// Owns one file descriptor; closes it on destruction.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// --- start-up and clean-up -------------------------------------------------

// The fields of the start-up record that callers read. wVersion carries the
// major version in its low byte and the minor version in its high byte.
struct WSADATA {
    quint16 wVersion = 0;
    quint16 wHighVersion = 0;
    quint16 maxSockets = 0;
    quint16 maxUdpDatagram = 0;
};

// Returns 0 and fills data on success (interface version 1.1); the start-up is
// then counted until a matching WSACleanup. Anything else is failure and
// counts nothing.
int WSAStartup(quint16 versionRequested, WSADATA *data);
// Releases one counted start-up; returns -1 when none is outstanding.
int WSACleanup();
// start-ups not yet released, over the whole process.
int socketLayerStartupCount();

// Makes WSAStartup report something else (another version, socket count or a
// failure code) for as long as it is set; std::nullopt restores the normal
// behaviour. Process-wide; tests only.
struct SocketLayerOverride {
    int startupResult = 0;
    quint16 wVersion = 0x0101;
    quint16 maxSockets = 32767;
};
void setSocketLayerOverrideForTesting(std::optional<SocketLayerOverride> override);

// Owns one counted start-up, if one was made.
class SocketStartupGuard
{
public:
    SocketStartupGuard() = default;
    ~SocketStartupGuard() { reset(); }
    SocketStartupGuard(const SocketStartupGuard &) = delete;
    SocketStartupGuard &operator=(const SocketStartupGuard &) = delete;
    void adopt(bool startupMade) { m_held = startupMade; }
    void reset()
    {
        if (m_held)
            WSACleanup();
        m_held = false;
    }

private:
    bool m_held = false;
};

// --- Name lookup -----------------------------------------------------------

inline constexpr qint16 kAddressFamilyInet = 2;

// A host entry owned by the caller. Addresses are in network byte order.
struct HostEntry {
    QByteArray h_name;
    qint16 h_addrtype = 0;
    qint16 h_length = 0;
    QList<quint32> h_addr_list;
};
using HostEntryPtr = std::unique_ptr<HostEntry>;

// Looks name up as an IPv4 host (literal addresses, the hosts file, DNS);
// null when the lookup fails. Thread-safe.
HostEntryPtr gethostbyname(const QByteArray &name);

// Replaces the lookup of gethostbyname for as long as it is set; an empty
// function restores the system lookup. Process-wide; tests only, so that
// names that would reach DNS are never looked up for real.
using HostLookupFunction = std::function<HostEntryPtr(const QByteArray &name)>;
void setHostLookupForTesting(HostLookupFunction lookup);

// Dotted-decimal text of an address in network byte order.
QByteArray inet_ntoa(quint32 address);

} // namespace Pelorin
