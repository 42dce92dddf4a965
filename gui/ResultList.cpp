// The result list lstIPs as a flat, unsorted report list.
#include "ResultList.h"

#include <QKeyEvent>

#include "WindowSizeLimits.h"

#include <QHeaderView>
#include <QMouseEvent>

ResultList::ResultList(QWidget *parent) : QTreeWidget(parent)
{
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
}

void ResultList::addColumn(const QString &key, const QString &header, int widthTwips, double twipsPerPixelX)
{
    const int column = m_definedColumns++;
    if (columnCount() < column + 1)
        setColumnCount(column + 1);
    QTreeWidgetItem *head = headerItem();
    head->setText(column, header);
    head->setData(column, Qt::UserRole, key);
    if (twipsPerPixelX > 0)
        setColumnWidth(column, WindowSizeLimits::twipsToPixels(widthTwips, twipsPerPixelX));
}

void ResultList::clearRows()
{
    clear();
}

int ResultList::rowCount() const
{
    return topLevelItemCount();
}

QTreeWidgetItem *ResultList::addRow(const QString &text)
{
    auto *item = new QTreeWidgetItem(QStringList{text});
    addTopLevelItem(item);
    return item;
}

QTreeWidgetItem *ResultList::row(int position) const
{
    return topLevelItem(position - 1);
}

void ResultList::setSubItem(QTreeWidgetItem *item, int k, const QString &text)
{
    if (item && k >= 1)
        item->setText(k, text);
}

QTreeWidgetItem *ResultList::findRow(const QString &text) const
{
    const int count = topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        QTreeWidgetItem *item = topLevelItem(i);
        if (item->text(0) == text)
            return item;
    }
    return nullptr;
}

// Of several selected entries, the current one (the last clicked).
QTreeWidgetItem *ResultList::selectedRow() const
{
    if (currentItem() && currentItem()->isSelected())
        return currentItem();
    const QList<QTreeWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void ResultList::mouseDoubleClickEvent(QMouseEvent *event)
{
    QTreeWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
}

void ResultList::keyPressEvent(QKeyEvent *event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && selectedRow()) {
        emit doubleClicked();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}
