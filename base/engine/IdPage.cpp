// Recognising a Quorvane identification page and taking its description.
#include "engine/IdPage.h"

namespace IdPage {

bool isIdentificationPage(const QString &raw)
{
    return raw.contains(QLatin1String(kTitle), Qt::CaseSensitive);
}

std::optional<QString> description(const QString &raw)
{
    static const QLatin1String open("<body>");
    static const QLatin1String close("</body>");
    const qsizetype openAt = raw.indexOf(open, 0, Qt::CaseSensitive);
    const qsizetype closeAt = raw.indexOf(close, 0, Qt::CaseSensitive);
    if (openAt < 0 || closeAt < 0)
        return std::nullopt;
    const qsizetype start = openAt + open.size();
    if (closeAt < start)
        return QString();
    return raw.mid(start, closeAt - start);
}

} // namespace IdPage
