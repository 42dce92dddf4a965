// Hands a text such as "http:\\127.0.0.5" to the desktop's browser, read the
// way a browser reads it (http:// and the address). The result is ignored.
#pragma once

#include <QString>
#include <QUrl>

namespace BrowserOpener {

QUrl urlFromShellText(const QString &text);
void open(const QString &text);

} // namespace BrowserOpener
