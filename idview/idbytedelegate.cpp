#include "idview/idbytedelegate.h"

#include "idview/idviewmodel.h"

#include <QApplication>
#include <QPainter>

void IdByteDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                           const QModelIndex &index) const
{
    const quint32 changed = index.data(IdViewModel::ChangedBytesRole).toUInt();
    if (!changed) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }

    // The background, selection and focus as the style draws them, without the text.
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget)
                           .adjusted(3, 0, -3, 0);
    const QColor normal = index.data(Qt::ForegroundRole).value<QColor>();
    const QColor marked(255, 170, 0);
    painter->save();
    painter->setFont(opt.font);
    painter->setClipRect(area);
    const QFontMetrics metrics(opt.font);
    int x = area.left();
    const QStringList bytes = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (int i = 0; i < bytes.size() && x < area.right(); ++i) {
        const QString run = i + 1 < bytes.size() ? bytes.at(i) + QLatin1Char(' ') : bytes.at(i);
        painter->setPen(i < 32 && (changed & (1u << i)) ? marked : normal);
        painter->drawText(QRect(x, area.top(), area.right() - x + 1, area.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, run);
        x += metrics.horizontalAdvance(run);
    }
    painter->restore();
}
