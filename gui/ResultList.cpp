// The result list lstIPs as a flat, unsorted report list.
#include "ResultList.h"

#include <QKeyEvent>

#include "WindowSizeLimits.h"

#include <QApplication>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>

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
    setItemDelegate(new ResultListDelegate(this));
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
    return topLevelItem(position);
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

bool ResultListDelegate::plainText(const QStyleOptionViewItem &opt)
{
    const auto extras = QStyleOptionViewItem::WrapText | QStyleOptionViewItem::HasCheckIndicator
                        | QStyleOptionViewItem::HasDecoration;
    return !opt.text.isEmpty() && !(opt.features & extras) && !(opt.state & QStyle::State_Editing)
           && opt.direction == Qt::LeftToRight && !opt.text.contains(QChar::LineSeparator)
           && (opt.displayAlignment & Qt::AlignHorizontal_Mask & ~(Qt::AlignLeft | Qt::AlignLeading)) == 0;
}

QSize ResultListDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    if (!plainText(opt) || index.data(Qt::SizeHintRole).isValid())
        return QStyledItemDelegate::sizeHint(option, index);
    if (opt.font != m_sizeFont || m_sizes.size() > 4096) {
        m_sizes.clear();
        m_sizeFont = opt.font;
    }
    auto found = m_sizes.constFind(opt.text);
    if (found == m_sizes.constEnd())
        found = m_sizes.insert(opt.text, QStyledItemDelegate::sizeHint(option, index));
    return *found;
}

void ResultListDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    if (!plainText(opt) || !opt.showDecorationSelected) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QWidget *widget = opt.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    // The panel, selection and focus as the style draws them, then the text where it would.
    opt.text.clear();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect textRect = opt.rect.adjusted(margin, 0, -margin, 0);
    if (m_laid.size() > 4096 && !m_laid.contains(text))
        m_laid.clear(); // a cache, not a record: start afresh
    Laid &laid = m_laid[text];
    if (laid.width != textRect.width() || laid.font != opt.font) {
        QTextOption textOption(Qt::AlignLeft);
        textOption.setWrapMode(QTextOption::ManualWrap);
        textOption.setTextDirection(Qt::LeftToRight);
        const QString shown = opt.fontMetrics.elidedText(text, opt.textElideMode, textRect.width());
        QTextLayout layout(shown, opt.font);
        layout.setTextOption(textOption);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        if (line.isValid())
            line.setLineWidth(textRect.width());
        layout.endLayout();
        laid.height = line.isValid() ? line.height() : 0;
        laid.text = QStaticText(shown);
        laid.text.setTextFormat(Qt::PlainText);
        laid.text.setTextOption(textOption);
        laid.text.prepare(painter->transform(), opt.font);
        laid.width = textRect.width();
        laid.font = opt.font;
    }
    QPalette::ColorGroup group = opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    if (group == QPalette::Normal && !(opt.state & QStyle::State_Active))
        group = QPalette::Inactive;
    const QRect layoutRect = QStyle::alignedRect(Qt::LeftToRight, opt.displayAlignment & Qt::AlignVertical_Mask,
                                                 QSize(textRect.width(), int(laid.height)), textRect);
    painter->save();
    painter->setClipRect(opt.rect);
    painter->setFont(opt.font);
    const bool selected = opt.state & QStyle::State_Selected;
    painter->setPen(opt.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->drawStaticText(QPointF(textRect.x(), layoutRect.top()), laid.text);
    painter->restore();
}
