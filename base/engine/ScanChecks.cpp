// The start checks and the per-request settings.
#include "engine/ScanChecks.h"

#include "engine/TextNumber.h"

#include <algorithm>
#include <cmath>

using TextNumber::fromNumber;
using TextNumber::toNumber;

namespace ScanChecks {

std::optional<int> octet(const QString &text, int highest)
{
    const double value = toNumber(text);
    if (value < 0 || value > highest || std::floor(value) != value)
        return std::nullopt;
    return int(value);
}

QString octetRefusal(const QString &boxName, int highest)
{
    return boxName + QStringLiteral(" must be a whole number from 0 to %1.").arg(highest);
}

ScanRange range(const QString &first, const QString &second, const QString &third, const QString &from,
                const QString &to)
{
    // Each part as its number writes itself back (" 010" is "10").
    const auto part = [](const QString &text) -> QString { return fromNumber(toNumber(text)); };
    ScanRange r;
    r.network = part(first) + QLatin1Char('.') + part(second) + QLatin1Char('.') + part(third);
    r.lower = octet(from).value_or(0);
    r.upper = octet(to, kHighestUpperBound).value_or(0);
    return r;
}

QList<quint32> addresses(const ScanRange &range)
{
    quint32 network = 0;
    for (const QString &part : range.network.split(QLatin1Char('.')))
        network = (network << 8) | std::min(part.toUInt(), 255u);
    QList<quint32> list;
    for (int octet = range.lower; octet < std::max(range.upper, range.lower + 1); ++octet)
        list.append((network << 8) | quint32(octet));
    return list;
}

int nextOctet(const ScanRange &range, qsizetype dispatched)
{
    if (dispatched < 0)
        return -1;
    return int(std::min<qsizetype>(range.lower + dispatched, range.upper));
}

bool rangeReversed(const QString &from, const QString &to)
{
    return toNumber(to) < toNumber(from);
}

QString rangeRefusal()
{
    return QStringLiteral("Scan range is incorrect.  Upper range bound must be higher than the lower one.");
}

bool retriesNeedQuestion(const QString &retries)
{
    return toNumber(retries) > kRetriesAskAbove;
}

QString retriesQuestion(const QString &retries, const QString &timeOut)
{
    return QStringLiteral("Program will retry ") + fromNumber(toNumber(retries)) + QStringLiteral(" times at ")
           + fromNumber(toNumber(timeOut))
           + QStringLiteral(" ms interval for each IP.  This may take long time to complete.  "
                            "Are you sure you want to continue?");
}

qint32 timeOut(const QString &text)
{
    return TextNumber::toInt32(std::max(1.0, toNumber(text)));
}

quint8 retries(const QString &text)
{
    return TextNumber::toUInt8(std::max(1.0, toNumber(text)));
}

} // namespace ScanChecks
