#include "kestrow/app/result_delegate.h"

#include "kestrow/app/channel_model.h"

#include <QPainter>

namespace kestrow::app {
namespace {

constexpr int kTextMargin = 4;
constexpr int kResultPointSizeStep = 3;  // the first line, larger than the list's font

}  // namespace

void ResultDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QVariant colour = index.data(kResultColourRole);
    if (!colour.isValid()) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    const QStringList lines = index.data(Qt::DisplayRole).toString().split('\n');
    painter->save();
    painter->fillRect(option.rect, colour.value<QColor>());
    painter->setPen(Qt::white);
    QFont big = option.font;
    big.setBold(true);
    big.setPointSize(big.pointSize() + kResultPointSizeStep);
    QRect area = option.rect.adjusted(kTextMargin, 0, -kTextMargin, 0);
    if (lines.size() < 2) {
        painter->setFont(big);
        painter->drawText(area, Qt::AlignVCenter | Qt::AlignLeft, lines.value(0));
    } else {
        QRect top = area, bottom = area;
        top.setBottom(area.top() + area.height() * 3 / 5);
        bottom.setTop(top.bottom());
        painter->setFont(big);
        painter->drawText(top, Qt::AlignBottom | Qt::AlignLeft, lines[0]);
        QFont small = option.font;
        small.setBold(true);
        painter->setFont(small);
        painter->drawText(bottom, Qt::AlignTop | Qt::AlignLeft, lines[1]);
    }
    painter->restore();
}

}  // namespace kestrow::app
