#include "netinfo/VendorRegistry.h"

#include "LanterraLog.h"
#include "netinfo/MacAddress.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <cctype>

namespace {

// Reads one CSV record starting at pos and moves pos past its line end. Fields
// are separated by commas; a quoted field may hold commas, line breaks and
// doubled quotes. False when a quote is still open at the end of the data.
bool readRecord(QByteArrayView data, qsizetype &pos, QList<QByteArray> &fields)
{
    fields.clear();
    QByteArray field;
    bool quoted = false;
    while (pos < data.size()) {
        // Plain characters go over in runs: a quote ends a run, and outside quotes a comma or line end.
        qsizetype stop = pos;
        while (stop < data.size() && data[stop] != '"' && (quoted || (data[stop] != ',' && data[stop] != '\n')))
            ++stop;
        field.append(data.sliced(pos, stop - pos));
        if (stop == data.size()) {
            pos = stop;
            break;
        }
        const char c = data[stop];
        pos = stop + 1;
        if (c == '"' && quoted && pos < data.size() && data[pos] == '"') {
            field += data[pos++]; // a doubled quote inside quotes is one quote
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',') {
            fields.append(field);
            field.clear();
        } else {
            break; // the line end; a CR before it stays in the last field
        }
    }
    fields.append(field);
    return !quoted;
}

bool isPrefix(const QByteArray &assignment)
{
    return assignment.size() == 6
        && std::all_of(assignment.begin(), assignment.end(), [](char c) { return std::isxdigit(uchar(c)); });
}

} // namespace

VendorRegistry::VendorRegistry(QString path)
    : m_path(std::move(path))
{
}

QString VendorRegistry::vendorOf(QStringView mac) const
{
    std::call_once(m_loaded, [this] { load(); });
    const std::optional<quint64> value = MacAddress::parse(mac);
    return value ? m_makers.value(MacAddress::prefix(*value)) : QString();
}

void VendorRegistry::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcLanterra).noquote() << "Vendors stay empty: cannot read" << m_path << "-" << file.errorString();
        return;
    }
    const QByteArray data = file.readAll();
    // Rows: Registry, Assignment (six hex digits), Organization Name, Organization Address.
    // Lines end in CR LF; the CR stays in the last field, and names are trimmed.
    // The header and malformed rows fail the checks and are skipped; the first row for a prefix wins.
    QSet<QString> names; // one shared copy of each maker's name
    QList<QByteArray> fields;
    qsizetype pos = 0;
    while (pos < data.size()) {
        const qsizetype start = pos;
        if (!readRecord(data, pos, fields)) {
            // A quote left open would swallow the rest of the file: drop its line only.
            pos = data.indexOf('\n', start);
            if (pos < 0)
                break;
            ++pos;
            continue;
        }
        if (fields.size() < 3)
            continue;
        const QByteArray assignment = fields[1].trimmed();
        const QString name = QString::fromUtf8(fields[2]).trimmed();
        if (!isPrefix(assignment) || name.isEmpty())
            continue;
        const quint32 prefix = assignment.toUInt(nullptr, 16);
        if (m_makers.contains(prefix))
            continue;
        auto shared = names.constFind(name);
        if (shared == names.cend())
            shared = names.insert(name);
        m_makers.insert(prefix, *shared);
    }
    if (m_makers.isEmpty())
        qCWarning(lcLanterra).noquote() << "Vendors stay empty: no assignments in" << m_path;
}
