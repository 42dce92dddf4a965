#include "netinfo/NeighbourTable.h"

#include "netinfo/MacAddress.h"

#include <QFile>

namespace {

// The kernel's flag for a resolved entry (ATF_COM); incomplete and failed
// entries lack it.
constexpr uint CompleteFlag = 0x2;

} // namespace

NeighbourTable::NeighbourTable(QString path)
    : m_path(std::move(path))
{
}

QString NeighbourTable::macOf(const QString &address) const
{
    QFile file(m_path);
    if (address.isEmpty() || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray wanted = address.toLatin1();
    // Lines: IP address, HW type, Flags, HW address, Mask, Device (after one header line,
    // which never matches an address). The same address may be listed on several interfaces.
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields[0] != wanted)
            continue;
        bool ok = false;
        const uint flags = fields[2].toUInt(&ok, 0);
        const std::optional<quint64> mac = MacAddress::parse(QString::fromLatin1(fields[3]));
        if (ok && (flags & CompleteFlag) && mac && *mac != 0)
            return MacAddress::text(*mac);
    }
    return {};
}
