// Renders the compiled-in SVG artwork to pixmaps.
#include "Artwork.h"

#include <QPainter>
#include <QSvgRenderer>

// The resources live in a static library: register them before first use so
// the linker can't leave them out.
static void ensureArtworkResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}

namespace Artwork {

namespace {

QPixmap render(const QString &resource, int px)
{
    QPixmap pixmap(px, px);
    pixmap.fill(Qt::transparent);
    ensureArtworkResources();
    QSvgRenderer renderer(resource);
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
    }
    return pixmap;
}

} // namespace

QIcon windowIcon()
{
    QIcon icon;
    for (int px : {16, 32})
        icon.addPixmap(render(QStringLiteral(":/icons/lanterra.svg"), px));
    return icon;
}

QPixmap scanningPicture(int px)
{
    return render(QStringLiteral(":/icons/scanning.svg"), px > 0 ? px : 48);
}

} // namespace Artwork
