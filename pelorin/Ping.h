// The probe server's network module: host text to IPv4 address and up to
// three ICMP echo attempts per pingAddress call. Every procedure traps and
// reports its own errors in a "Pelorin" message box and returns the result
// assigned so far. Its waits (the yield per address part, the echo replies,
// the boxes) are awaits on the probe object that runs it.
#pragma once

#include "EchoSocket.h"
#include "Task.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>
#include <optional>

namespace Pelorin {

// What the module needs of the probe object that runs it.
class PingContext
{
public:
    virtual ~PingContext() = default;
    // Lets the object's waiting calls and ticks run, then goes on.
    virtual Task<void> yield() = 0;
    // Shows a box titled "Pelorin" and returns the answer.
    virtual Task<int> showMessageBox(QString text, int style) = 0;
    // One echo request to address (network order).
    virtual Task<EchoResult> echo(quint32 address, QByteArray data, qint32 timeOutMs) = 0;
    // The look-up of a host name (resolveHostName's answer). This one waits
    // on the caller's thread: for contexts with nothing else to run.
    virtual Task<std::optional<QString>> lookUp(QByteArray name);
};

// Round-trip time in milliseconds (0 or more), or minus the status of the last
// failed echo attempt. host is replaced by the resolved text.
Task<qint16> pingAddress(PingContext &context, QString &host, qint32 timeOut);
Task<qint32> addressStringToLong(PingContext &context, QString address);
// A dotted address is its own answer at once; a name is awaited through
// context.lookUp; an unknown name gives host back unchanged.
Task<QString> hostToAddressString(PingContext &context, QString host);

// The text that hostToAddressString looks up: lower case, every "http://" and
// "www." removed, one trailing "/" dropped.
QString hostLookupText(const QString &host);

// The 32 data bytes of one echo request: "Echo this request" followed by the
// local time as MMDDYYYY HHNNSS.
QByteArray echoRequestData(const QDateTime &localTime);

// One name look-up through the system's resolver, which may wait for a DNS
// server: nothing when the name is unknown, an empty text when it has no IPv4
// address, else the first one, dotted. Safe on any thread.
std::optional<QString> resolveHostName(const QByteArray &name);

// Replaces every look-up of hostToAddressString for tests (which must not
// look names up); empty restores the resolver.
using HostLookupFunction = std::function<std::optional<QString>(const QByteArray &name)>;
void setHostLookupForTesting(HostLookupFunction lookup);

} // namespace Pelorin
