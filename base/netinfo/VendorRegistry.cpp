#include "netinfo/VendorRegistry.h"

#include "LanterraLog.h"
#include "netinfo/MacAddress.h"

#include <QFile>
#include <QVarLengthArray>

#include <algorithm>
#include <cctype>

namespace {

using RawFields = QVarLengthArray<QByteArrayView, 8>;

// Splits the CSV record starting at pos into its raw fields (quote marks and all) and moves pos past its line end.
// Fields are separated by commas; a quoted part may hold commas, line breaks and doubled quotes. False when a quote
// is still open at the end of the data.
bool splitRecord(QByteArrayView data, qsizetype &pos, RawFields &fields)
{
    fields.clear();
    qsizetype start = pos;
    while (pos < data.size()) {
        const char c = data[pos];
        if (c == '"') {
            // Inside quotes up to the closing one; a doubled quote stays in the field.
            qsizetype close = data.indexOf('"', pos + 1);
            while (close >= 0 && close + 1 < data.size() && data[close + 1] == '"')
                close = data.indexOf('"', close + 2);
            if (close < 0) {
                pos = data.size();
                return false;
            }
            pos = close + 1;
        } else if (c == ',' || c == '\n') {
            fields.append(data.sliced(start, pos - start));
            start = ++pos;
            if (c == '\n')
                return true; // the line end; a CR before it stays in the last field
        } else {
            ++pos;
        }
    }
    fields.append(data.sliced(start));
    return true;
}

// A raw field's text: its quote marks taken out, a doubled quote inside quotes made one. Without quote marks it
// shares raw's bytes, so it must not outlive them.
QByteArray fieldText(QByteArrayView raw)
{
    if (!raw.contains('"'))
        return QByteArray::fromRawData(raw.data(), raw.size());
    QByteArray text;
    bool quoted = false;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] != '"')
            text += raw[i];
        else if (quoted && i + 1 < raw.size() && raw[i + 1] == '"')
            text += raw[++i];
        else
            quoted = !quoted;
    }
    return text;
}

// The maker's name of a row, trimmed.
QString nameOf(QByteArrayView raw)
{
    return QString::fromUtf8(fieldText(raw)).trimmed();
}

// Whether a row names its maker, deciding most rows without decoding: a visible ASCII character stays after trimming.
bool hasName(QByteArrayView raw)
{
    const bool visible = std::any_of(raw.begin(), raw.end(), [](char c) { return c > ' ' && c < 0x7f && c != '"'; });
    return visible || !nameOf(raw).isEmpty();
}

// The 24-bit prefix of an assignment of six hex digits; nullopt for any other text.
std::optional<quint32> prefixOf(QByteArrayView raw)
{
    const QByteArray assignment = fieldText(raw).trimmed();
    if (assignment.size() != 6
        || !std::all_of(assignment.begin(), assignment.end(), [](char c) { return std::isxdigit(uchar(c)); }))
        return std::nullopt;
    return assignment.toUInt(nullptr, 16);
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
    qsizetype pos = value ? m_rows.value(MacAddress::prefix(*value), -1) : -1;
    RawFields fields;
    return pos >= 0 && splitRecord(m_data, pos, fields) ? nameOf(fields[2]) : QString();
}

void VendorRegistry::load() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcLanterra).noquote() << "Vendors stay empty: cannot read" << m_path << "-" << file.errorString();
        return;
    }
    m_data = file.readAll();
    m_rows.reserve(m_data.count('\n'));
    // Rows: Registry, Assignment (six hex digits), Organization Name, Organization Address.
    // Lines end in CR LF; the CR stays in the last field, and names are trimmed.
    // The header and malformed rows fail the checks and are skipped; the first row for a prefix wins.
    RawFields fields;
    qsizetype pos = 0;
    while (pos < m_data.size()) {
        const qsizetype start = pos;
        if (!splitRecord(m_data, pos, fields)) {
            // A quote left open would swallow the rest of the file: drop its line only.
            pos = m_data.indexOf('\n', start);
            if (pos < 0)
                break;
            ++pos;
            continue;
        }
        if (fields.size() < 3)
            continue;
        const std::optional<quint32> prefix = prefixOf(fields[1]);
        if (prefix && !m_rows.contains(*prefix) && hasName(fields[2]))
            m_rows.insert(*prefix, start);
    }
    if (m_rows.isEmpty())
        qCWarning(lcLanterra).noquote() << "Vendors stay empty: no assignments in" << m_path;
}
