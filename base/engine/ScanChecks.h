// What a start checks and reads, as pure functions shared by the window and the
// command line: the octet check, the range order, the retries question, and
// the time-out and retries of each request. Texts are read as the operator's
// numbers are everywhere (TextNumber).
#pragma once

#include <QList>
#include <QString>

#include <optional>

// The range taken at start: the three fixed octets as address text ("127.0.0"),
// and the first and last value of the fourth octet.
struct ScanRange {
    QString network;
    int lower = 0;
    int upper = 0;
};

namespace ScanChecks {

inline constexpr double kRetriesAskAbove = 10;

inline constexpr int kHighestOctet = 255;
// To is the first value not scanned: 256 sweeps the fourth octet up to .255.
inline constexpr int kHighestUpperBound = 256;

// The value of text when it is a whole number from 0 to highest, else nothing.
// A blank or "abc" reads 0 and " 010" reads 10; -1, 256 and 2.5 are refused
// as octets; To also takes 256.
std::optional<int> octet(const QString &text, int highest = kHighestOctet);
// The one line that refuses a box whose value is out of its range, naming the box.
QString octetRefusal(const QString &boxName, int highest = kHighestOctet);

// Takes the range from texts that passed octet(): the three octets, From and
// To (up to kHighestUpperBound).
ScanRange range(const QString &first, const QString &second, const QString &third, const QString &from,
                const QString &to);

// The addresses a range scans, in host byte order: From up to but not
// including To, or just From when both are equal.
QList<quint32> addresses(const ScanRange &range);
// The fourth octet a running scan shows as next, after dispatched addresses
// have gone out: it stops at To. -1 when no scan runs (dispatched below 0).
int nextOctet(const ScanRange &range, qsizetype dispatched);

bool rangeReversed(const QString &from, const QString &to);
QString rangeRefusal();

// The question asked before a scan with many retries; the raw values are quoted.
bool retriesNeedQuestion(const QString &retries);
QString retriesQuestion(const QString &retries, const QString &timeOut);

// Settings of one request: below 1 is 1, rounded to the nearest (ties to even),
// held at the largest value the request type carries.
qint32 timeOut(const QString &text);
quint8 retries(const QString &text);

} // namespace ScanChecks
