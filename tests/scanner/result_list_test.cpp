// The result list: insertion order, whole-text find, selection, double click.
#include "ResultList.h"

#include <QHeaderView>
#include <QSignalSpy>
#include <QtTest>

class ResultListTest : public QObject
{
    Q_OBJECT

private slots:
    void entriesKeepTheirOrder()
    {
        ResultList list;
        list.Add(QStringLiteral("127.0.0.9"));
        list.Add(QStringLiteral("127.0.0.2"));
        list.Add(QStringLiteral("127.0.0.10"));

        QCOMPARE(list.Count(), 3);
        QCOMPARE(list.Item(1)->text(0), QStringLiteral("127.0.0.9"));
        QCOMPARE(list.Item(2)->text(0), QStringLiteral("127.0.0.2"));
        QCOMPARE(list.Item(3)->text(0), QStringLiteral("127.0.0.10"));
        QVERIFY(!list.Item(0));
        QVERIFY(!list.Item(4));
    }

    void clickingTheHeaderDoesNotSort()
    {
        ResultList list;
        list.addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, 15.0);
        list.Add(QStringLiteral("b"));
        list.Add(QStringLiteral("a"));
        list.header()->setSortIndicator(0, Qt::AscendingOrder);
        QTest::mouseClick(list.header()->viewport(), Qt::LeftButton, {},
                          QPoint(list.header()->sectionViewportPosition(0) + 5, 5));
        QCOMPARE(list.Item(1)->text(0), QStringLiteral("b"));
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
        if (position == 0)
            QVERIFY(!found);
        else
            QCOMPARE(found, list.Item(position));
    }

    void clearThenAddStartsAtOne()
    {
        ResultList list;
        list.Add(QStringLiteral("a"));
        list.Add(QStringLiteral("b"));
        list.setCurrentItem(list.Item(2));
        list.Clear();
        QCOMPARE(list.Count(), 0);
        QVERIFY(!list.SelectedItem());
        QTreeWidgetItem *added = list.Add(QStringLiteral("c"));
        QCOMPARE(list.Item(1), added);
        QCOMPARE(list.Count(), 1);
    }

    void subItemsFillColumns()
    {
        ResultList list;
        list.addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, 15.0);
        list.addColumn(QStringLiteral("ping"), QStringLiteral("Ping Time (ms)"), 1500, 15.0);
        list.addColumn(QStringLiteral("equip"), QStringLiteral("QV Equipment"), 2320, 15.0);
        QCOMPARE(list.columnCount(), 3);
        QCOMPARE(list.columnWidth(0), 120);
        QCOMPARE(list.columnWidth(1), 100);
        QCOMPARE(list.columnWidth(2), 155); // 154.67
        QCOMPARE(list.headerItem()->text(2), QStringLiteral("QV Equipment"));
        QCOMPARE(list.columnKey(1), QStringLiteral("ping"));

        QTreeWidgetItem *item = list.Add(QStringLiteral("127.0.0.5"));
        ResultList::SetSubItem(item, 1, QStringLiteral("<0 ms"));
        ResultList::SetSubItem(item, 2, QStringLiteral("Model 7"));
        QCOMPARE(list.Item(1)->text(1), QStringLiteral("<0 ms"));
        QCOMPARE(list.Item(1)->text(2), QStringLiteral("Model 7"));
    }

    void selectionIsSingle()
    {
        ResultList list;
        list.Add(QStringLiteral("a"));
        list.Add(QStringLiteral("b"));
        QVERIFY(!list.SelectedItem());

        list.Item(1)->setSelected(true);
        list.Item(2)->setSelected(true);
        list.setCurrentItem(list.Item(2));
        QCOMPARE(list.SelectedItem(), list.Item(2));
        QCOMPARE(list.selectedItems().size(), 1);
    }

    void doubleClickOnEntryIsReported()
    {
        ResultList list;
        list.addColumn(QStringLiteral("host"), QStringLiteral("Host IP"), 1800, 15.0);
        list.Add(QStringLiteral("127.0.0.5"));
        list.resize(300, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));

        QSignalSpy spy(&list, &ResultList::DblClick);
        const QPoint centre = list.visualItemRect(list.Item(1)).center();
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, centre);
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(list.SelectedItem(), list.Item(1));

        // Below the last entry the selection stays; the handler decides.
        QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, QPoint(centre.x(), list.viewport()->height() - 3));
        QTRY_COMPARE(spy.count(), 2);
    }
};

QTEST_MAIN(ResultListTest)
#include "result_list_test.moc"
