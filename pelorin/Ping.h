// The probe server's network module: host text to IPv4 address, the socket
// layer's start-up, and up to three ICMP echo attempts per pingAddress call.
// Stateless; every procedure traps and reports its own errors in a "Pelorin"
// message box and returns the result assigned so far.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace Pelorin {

// Round-trip time in milliseconds (0 or more), or minus the status of the last
// failed echo attempt. host is replaced by the resolved text.
qint16 pingAddress(QString &host, const qint32 &timeOut);

QString hostToAddressString(const QString &host);
qint32 addressStringToLong(QString address);
bool socketsInitialize();
qint16 hiByte(qint16 value);
qint16 loByte(qint16 value);

// As socketsInitialize; also tells whether a start-up was made that the caller
// must release with WSACleanup (a failed version or socket check keeps it).
bool socketsInitialize(bool &startupMade);

// The text that hostToAddressString looks up: lower case, every "http://" and
// "www." removed, one trailing "/" dropped.
QString hostLookupText(const QString &host);

// The 32 data bytes of one echo request: "Echo this request" followed by the
// local time as MMDDYYYY HHNNSS.
QByteArray echoRequestData(const QDateTime &localTime);

} // namespace Pelorin
