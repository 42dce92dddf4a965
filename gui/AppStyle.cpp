// Turns on Qt's own styled widgets (Fusion) for the whole application, so the
// window looks the same on every desktop.
#include "AppStyle.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace AppStyle {

namespace {
const QString kStyle = QStringLiteral("Fusion");
}

bool stylesAvailable()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr
           && QStyleFactory::keys().contains(kStyle, Qt::CaseInsensitive);
}

void initStyles()
{
    if (!stylesAvailable())
        return;
    if (QStyle *style = QStyleFactory::create(kStyle))
        QApplication::setStyle(style);
}

} // namespace AppStyle
