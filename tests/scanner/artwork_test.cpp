// The compiled-in artwork: both pictures load and draw something.
#include "Artwork.h"

#include <QImage>
#include <QtTest>

namespace {

int opaquePixels(const QPixmap &pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    return count;
}

} // namespace

class ArtworkTest : public QObject
{
    Q_OBJECT

private slots:
    void windowIconHasBothSizes()
    {
        const QIcon icon = Artwork::windowIcon();
        const QList<QSize> sizes = icon.availableSizes();
        QVERIFY(sizes.contains(QSize(16, 16)));
        QVERIFY(sizes.contains(QSize(32, 32)));
        for (int px : {16, 32}) {
            const int drawn = opaquePixels(icon.pixmap(QSize(px, px)));
            QVERIFY2(drawn > px * px / 5, qPrintable(QString::number(drawn)));
            QVERIFY(drawn < px * px);
        }
    }

    void scanningPictureIsDrawn()
    {
        const QPixmap picture = Artwork::scanningPicture(48);
        QCOMPARE(picture.size(), QSize(48, 48));
        QVERIFY(opaquePixels(picture) > 48 * 48 / 5);
        QCOMPARE(Artwork::scanningPicture(0).size(), QSize(48, 48));
    }
};

QTEST_MAIN(ArtworkTest)
#include "artwork_test.moc"
