#pragma once

// Paints the data cell of the "按ID显示" view with the bytes that changed lately in a
// colour of their own, one text run per byte; other cells paint as usual. GUI thread only.

#include <QStyledItemDelegate>

class IdByteDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
};
