// Build-time tool: renders the window icon's SVG into the square PNG sizes
// that desktops look up in the hicolor theme. Used by the install rules only.
//   lanterra_render_icon <icon.svg> <size> <out.png>
#include <QImage>
#include <QLoggingCategory>
#include <QPainter>
#include <QSvgRenderer>

Q_LOGGING_CATEGORY(lcRender, "lanterra.render_icon")

int main(int argc, char *argv[])
{
    if (argc != 4) {
        qCCritical(lcRender, "usage: lanterra_render_icon <icon.svg> <size> <out.png>");
        return 2;
    }
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    bool ok = false;
    const int size = QByteArray(argv[2]).toInt(&ok);
    if (!svg.isValid() || !ok || size < 1 || size > 1024) {
        qCCritical(lcRender, "cannot render %s at %s", argv[1], argv[2]);
        return 1;
    }
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg.render(&painter);
    }
    if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        qCCritical(lcRender, "cannot write %s", argv[3]);
        return 1;
    }
    return 0;
}
