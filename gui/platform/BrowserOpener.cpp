// Opening a listed host's web page in the desktop's browser.
#include "platform/BrowserOpener.h"

#include <QDesktopServices>

namespace BrowserOpener {

QUrl urlFromShellText(const QString &text)
{
    QString normalized = text.trimmed();
    normalized.replace(QLatin1Char('\\'), QLatin1Char('/'));
    QUrl url(normalized, QUrl::StrictMode);
    // Only a web page of a host is ever opened: anything that does not read
    // as an http address with a host (a file path, another scheme) is refused.
    if (!url.isValid() || url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0
        || url.host().isEmpty())
        return QUrl();
    return url;
}

void open(const QString &text)
{
    const QUrl url = urlFromShellText(text);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

} // namespace BrowserOpener
