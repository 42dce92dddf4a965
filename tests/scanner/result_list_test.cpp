// The result list: insertion order, whole-text find, no sorting, single selection.
#include "ResultList.h"

#include <QHeaderView>
#include <QtTest>

class ResultListTest : public QObject
{
    Q_OBJECT

private slots:
    void entriesKeepTheirOrder()
    {
        ResultList list;
        list.addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, 15.0);
        for (const char *host : {"127.0.0.9", "127.0.0.2", "127.0.0.10"})
            list.Add(QString::fromLatin1(host));
        QCOMPARE(list.Count(), 3);
        QCOMPARE(list.Item(1)->text(0), QStringLiteral("127.0.0.9"));
        QCOMPARE(list.Item(2)->text(0), QStringLiteral("127.0.0.2"));
        QCOMPARE(list.Item(3)->text(0), QStringLiteral("127.0.0.10"));
        QVERIFY(!list.Item(0));
        QVERIFY(!list.Item(4));

        // Clicking the header does not sort.
        list.header()->setSortIndicator(0, Qt::AscendingOrder);
        QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {},
                          QPoint(list.header()->sectionViewportPosition(0) + 5, 5));
        QCOMPARE(list.Item(1)->text(0), QStringLiteral("127.0.0.9"));

        // Only one entry is ever selected.
        list.Item(1)->setSelected(true);
        list.Item(2)->setSelected(true);
        list.setCurrentItem(list.Item(2));
        QCOMPARE(list.SelectedItem(), list.Item(2));
        QCOMPARE(list.selectedItems().size(), 1);

        // Cleared, the list numbers from one again.
        list.Clear();
        QCOMPARE(list.Count(), 0);
        QVERIFY(!list.SelectedItem());
        QTreeWidgetItem *added = list.Add(QStringLiteral("c"));
        QCOMPARE(list.Item(1), added);
    }

    void findItem_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("position"); // 0: not found

        const QStringList hosts{"127.0.0.10", "127.0.0.1", "127.0.0.1"};
        QTest::newRow("prefix of a longer entry") << QStringList{"127.0.0.10"} << "127.0.0.1" << 0;
        QTest::newRow("longer than an entry") << QStringList{"127.0.0.1"} << "127.0.0.10" << 0;
        QTest::newRow("first of duplicates") << hosts << "127.0.0.1" << 2;
        QTest::newRow("exact first") << hosts << "127.0.0.10" << 1;
        QTest::newRow("case and blanks matter") << QStringList{"Host"} << "host " << 0;
        QTest::newRow("empty list") << QStringList{} << "127.0.0.1" << 0;
    }

    void findItem()
    {
        QFETCH(QStringList, entries);
        QFETCH(QString, text);
        QFETCH(int, position);

        ResultList list;
        for (const QString &entry : entries)
            list.Add(entry);
        QTreeWidgetItem *found = list.FindItem(text);
        QCOMPARE(found, position ? list.Item(position) : nullptr);
    }
};

QTEST_MAIN(ResultListTest)
#include "result_list_test.moc"
