// Writing hosts as table, CSV or JSON Lines.
#include "engine/ResultFormat.h"

#include <QStringList>

namespace ResultFormat {

namespace {

// Column widths of the table; a longer value pushes the rest of its line.
constexpr int kHostWidth = 15;
constexpr int kPingWidth = 14;
constexpr int kSeenWidth = 4;
constexpr int kDescriptionWidth = 32;
constexpr int kMacWidth = 17;
constexpr int kNameWidth = 24;

// Device text is untrusted. Whatever way it leaves (table, CSV, clipboard),
// a control character other than tab, CR and LF (the rest of C0, DEL, C1)
// goes as a visible escape ("\x1b"), so a page can neither drive the
// operator's terminal nor hide in a cell. The table shows tab, CR and LF as
// escapes too: one host stays one line.
QString escapedControls(const QString &text, bool lineBreaksToo)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (lineBreaksToo && u == u'\n')
            out += QStringLiteral("\\n");
        else if (lineBreaksToo && u == u'\r')
            out += QStringLiteral("\\r");
        else if (lineBreaksToo && u == u'\t')
            out += QStringLiteral("\\t");
        else if ((u < 0x20 && u != u'\n' && u != u'\r' && u != u'\t') || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString visible(const QString &text)
{
    return escapedControls(text, true);
}

// A cell that a spreadsheet would read as a formula (or that begins with a
// tab or carriage return, which some strip before doing so) gets a leading
// apostrophe: opening a file or pasting a copied line must not run it.
QString neutralised(const QString &value)
{
    static const QString formulaLeading = QStringLiteral("=+-@\t\r");
    const QString text = escapedControls(value, false);
    return !text.isEmpty() && formulaLeading.contains(text.front()) ? u'\'' + text : text;
}

// One value of a copied line: neutralised, no tab or line break of its own.
QString tabField(const QString &text)
{
    QString out = neutralised(text);
    out.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    for (const QChar c : {u'\r', u'\n', u'\t'})
        out.replace(c, u' ');
    return out;
}

QString tableLine(const QStringList &cells)
{
    // With a name column, the name comes second and is as wide as a host.
    const QList<int> widths =
        cells.size() > 6 ? QList<int>{kHostWidth, kNameWidth, kPingWidth, kSeenWidth, kDescriptionWidth, kMacWidth}
                         : QList<int>{kHostWidth, kPingWidth, kSeenWidth, kDescriptionWidth, kMacWidth};
    QString out;
    for (int i = 0; i < cells.size(); ++i) {
        if (i + 1 < cells.size())
            out += cells[i].leftJustified(widths[i]) + QStringLiteral("  ");
        else
            out += cells[i];
    }
    while (out.endsWith(u' '))
        out.chop(1);
    return out + QLatin1Char('\n');
}

QString csvField(const QString &value)
{
    const QString text = neutralised(value);
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\r') && !text.contains(u'\n'))
        return text;
    QString quoted = text;
    quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Exact: every control character (DEL and C1 too) and the line separators as
// JSON escapes, which read back as the device sent them.
QString jsonString(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"': out += QStringLiteral("\\\""); break;
        case u'\\': out += QStringLiteral("\\\\"); break;
        case u'\n': out += QStringLiteral("\\n"); break;
        case u'\r': out += QStringLiteral("\\r"); break;
        case u'\t': out += QStringLiteral("\\t"); break;
        default:
            if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0) || c.unicode() == 0x2028
                || c.unicode() == 0x2029)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out + QLatin1Char('"');
}

QString seenText(HostRecord::Seen seen)
{
    return seen == HostRecord::Seen::Arp ? QStringLiteral("arp") : QStringLiteral("echo");
}

} // namespace

std::optional<Format> parse(const QString &name)
{
    if (name == QLatin1String("table"))
        return Format::Table;
    if (name == QLatin1String("csv"))
        return Format::Csv;
    if (name == QLatin1String("jsonl"))
        return Format::JsonLines;
    return std::nullopt;
}

QString pingText(qint16 pingTime)
{
    return (pingTime == 0 ? QStringLiteral("<") : QString()) + QString::number(pingTime) + QStringLiteral(" ms");
}

QString header(Format format, bool withName)
{
    switch (format) {
    case Format::Table:
        return tableLine(withName ? QStringList{QStringLiteral("Host IP"), QStringLiteral("Name"),
                                                QStringLiteral("Ping Time (ms)"), QStringLiteral("Seen"),
                                                QStringLiteral("QV Equipment"), QStringLiteral("MAC Address"),
                                                QStringLiteral("Vendor")}
                                  : QStringList{QStringLiteral("Host IP"), QStringLiteral("Ping Time (ms)"),
                                                QStringLiteral("Seen"), QStringLiteral("QV Equipment"),
                                                QStringLiteral("MAC Address"), QStringLiteral("Vendor")});
    case Format::Csv:
        return withName ? QStringLiteral("host,name,ping_ms,description,mac,vendor,seen\r\n")
                        : QStringLiteral("host,ping_ms,description,mac,vendor,seen\r\n");
    case Format::JsonLines:
    case Format::TabSeparated:
        break;
    }
    return QString();
}

QString line(Format format, const HostRecord &r, const std::optional<QString> &name)
{
    // A host seen only through ARP has no ping time: an empty cell, null in JSON.
    const bool echoed = r.seen == HostRecord::Seen::Echo;
    switch (format) {
    case Format::Table: {
        QStringList cells{visible(r.host), echoed ? pingText(r.pingTime) : QString(), seenText(r.seen),
                          visible(r.description), visible(r.mac), visible(r.vendor)};
        if (name)
            cells.insert(1, visible(*name));
        return tableLine(cells);
    }
    case Format::Csv: {
        QStringList cells{csvField(r.host), echoed ? QString::number(r.pingTime) : QString(),
                          csvField(r.description), csvField(r.mac), csvField(r.vendor), seenText(r.seen)};
        if (name)
            cells.insert(1, csvField(*name));
        return cells.join(QLatin1Char(',')) + QStringLiteral("\r\n");
    }
    case Format::JsonLines:
        return QStringLiteral(
                   "{\"host\":%1,%2\"ping_ms\":%3,\"description\":%4,\"mac\":%5,\"vendor\":%6,\"seen\":\"%7\"}\n")
            .arg(jsonString(r.host), name ? QStringLiteral("\"name\":%1,").arg(jsonString(*name)) : QString(),
                 echoed ? QString::number(r.pingTime) : QStringLiteral("null"), jsonString(r.description),
                 jsonString(r.mac), jsonString(r.vendor), seenText(r.seen));
    case Format::TabSeparated:
        return QStringList{tabField(r.host), pingText(r.pingTime), tabField(r.description), tabField(r.mac),
                           tabField(r.vendor)}
                   .join(QLatin1Char('\t'))
               + QLatin1Char('\n');
    }
    return QString();
}

} // namespace ResultFormat
