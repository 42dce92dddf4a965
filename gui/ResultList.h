// The result list lstIPs: a report-style list with the operations the window
// relies on. Entries keep the order in which they were added and are
// addressed by position from 0; the list is never sorted. Several entries
// may be selected at once.
#pragma once

#include <QHash>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <QTreeWidget>

class ResultList : public QTreeWidget
{
    Q_OBJECT

public:
    explicit ResultList(QWidget *parent = nullptr);

    // Columns: key, header, width in twips (converted with the given twips per pixel).
    void addColumn(const QString &key, const QString &header, int widthTwips, double twipsPerPixelX);

    void clearRows();
    int rowCount() const;
    QTreeWidgetItem *addRow(const QString &text);                 // appended at the end
    QTreeWidgetItem *row(int position) const;                 // from 0; null when out of range
    static void setSubItem(QTreeWidgetItem *item, int k, const QString &text); // k = 1 or 2
    QTreeWidgetItem *findRow(const QString &text) const;      // whole text, from the top
    QTreeWidgetItem *selectedRow() const;

signals:
    // A double click with the left button anywhere in the list's viewport, or
    // Enter on a selected entry; the handler looks at selectedRow() to see
    // which entry, if any, it meant.
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    int m_definedColumns = 0;
};

// Draws the list's cells as the style's own item delegate does, but lays out
// each single-line text only once: the pacing tick repaints the whole visible
// list, and laying out every cell's text anew each time was most of the
// window's CPU during a scan. Texts of several lines go through the style.
// A row's size, measured at every relayout of an added row, is kept the same way.
class ResultListDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    // One left-aligned line of text across the whole cell, nothing else in it.
    static bool plainText(const QStyleOptionViewItem &opt);

    struct Laid {
        QStaticText text; // elided to the width it was laid out for
        int width = -1;
        QFont font;
        qreal height = 0;
    };
    mutable QHash<QString, Laid> m_laid;
    mutable QHash<QString, QSize> m_sizes; // in m_sizeFont
    mutable QFont m_sizeFont;
};
