// Turns on Qt's own styled widgets (Fusion) for the whole application, so the
// window looks the same on every desktop.
#include "XPStyle.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace XPStyle {

namespace {
const QString kStyle = QStringLiteral("Fusion");
}

bool VisualStylesAvailable()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr
           && QStyleFactory::keys().contains(kStyle, Qt::CaseInsensitive);
}

void InitVisualStyles()
{
    if (!VisualStylesAvailable())
        return;
    if (QStyle *style = QStyleFactory::create(kStyle))
        QApplication::setStyle(style);
}

} // namespace XPStyle
