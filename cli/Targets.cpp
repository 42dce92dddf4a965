// Strict numbers and targets for lanterra-scan.
#include "Targets.h"

#include <QStringList>

namespace Cli {

namespace {

QString quoted(const QString &text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

bool refuse(QString *error, const QString &line)
{
    *error = line;
    return false;
}

} // namespace

std::optional<int> number(const QString &text, int min, int max)
{
    // Ten digits hold every int this is asked for; more would overflow.
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return int(value);
}

QString numberRefusal(const QString &argument, int min, int max)
{
    return QStringLiteral("%1 must be a whole number from %2 to %3.").arg(argument).arg(min).arg(max);
}

std::optional<QList<quint32>> targetAddresses(const QString &target, QString *error)
{
    const QString shape = QStringLiteral("target %1 must be A.B.C, A.B.C.D, A.B.C.D-E or A.B.C.D/N.").arg(quoted(target));
    QString text = target;
    QString end, prefix;
    if (const qsizetype slash = text.indexOf(u'/'); slash >= 0) {
        prefix = text.mid(slash + 1);
        text.truncate(slash);
    } else if (const qsizetype dash = text.indexOf(u'-'); dash >= 0) {
        end = text.mid(dash + 1);
        text.truncate(dash);
    }
    const QStringList parts = text.split(u'.');
    const bool network = parts.size() == 3 && end.isNull() && prefix.isNull();
    if (!network && parts.size() != 4) {
        *error = shape;
        return std::nullopt;
    }
    quint32 first = 0;
    for (int i = 0; i < parts.size(); ++i) {
        const std::optional<int> octet = number(parts[i], 0, 255);
        if (!octet) {
            *error = numberRefusal(QStringLiteral("octet %1 of target %2").arg(i + 1).arg(quoted(target)), 0, 255);
            return std::nullopt;
        }
        first = first << 8 | quint32(*octet);
    }
    quint32 last = first;
    if (network) { // the hosts of the /24: no network or broadcast address
        first = first << 8 | 1;
        last = (last << 8) | 254;
    } else if (!end.isNull()) {
        const int lowest = int(first & 0xff);
        const std::optional<int> octet = number(end, lowest, 255);
        if (!octet) {
            *error = numberRefusal(QStringLiteral("the end of target %1").arg(quoted(target)), lowest, 255);
            return std::nullopt;
        }
        last = (first & ~0xffu) | quint32(*octet);
    } else if (!prefix.isNull()) {
        const std::optional<int> bits = number(prefix, kMinPrefix, 32);
        if (!bits) {
            *error = numberRefusal(QStringLiteral("the prefix of target %1").arg(quoted(target)), kMinPrefix, 32);
            return std::nullopt;
        }
        const quint32 mask = *bits == 32 ? ~0u : ~(~0u >> *bits);
        first &= mask;
        last = first | ~mask;
        if (*bits <= 30) { // a /31 is two hosts and no broadcast (RFC 3021)
            ++first;
            --last;
        }
    }
    QList<quint32> addresses;
    addresses.reserve(qsizetype(last - first) + 1);
    for (quint64 address = first; address <= last; ++address)
        addresses.append(quint32(address));
    return addresses;
}

bool TargetList::add(const QString &target, QString *error)
{
    const std::optional<QList<quint32>> all = targetAddresses(target, error);
    if (!all)
        return false;
    Target added{target, {}};
    for (const quint32 address : *all) {
        if (m_seen.contains(address))
            continue;
        if (m_seen.size() == kMaxAddresses)
            return refuse(error, QStringLiteral("more than %1 addresses to scan (at %2); scan fewer at a time.")
                                     .arg(kMaxAddresses)
                                     .arg(quoted(target)));
        m_seen.insert(address);
        added.addresses.append(address);
    }
    m_targets.append(added);
    return true;
}

bool TargetList::addLines(const QString &text, const QString &source, QString *error)
{
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString target = lines[i].section(u'#', 0, 0).trimmed();
        if (!target.isEmpty() && !add(target, error)) {
            *error = QStringLiteral("%1:%2: %3").arg(source).arg(i + 1).arg(*error);
            return false;
        }
    }
    return true;
}

QList<quint32> TargetList::addresses() const
{
    QList<quint32> all;
    all.reserve(m_seen.size());
    for (const Target &target : m_targets)
        all.append(target.addresses);
    return all;
}

QString addressText(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg(address >> 16 & 0xff)
        .arg(address >> 8 & 0xff)
        .arg(address & 0xff);
}

} // namespace Cli
