#include "kestrow/app/progress_delegate.h"

#include "kestrow/app/channel_model.h"

#include <QPainter>

#include <algorithm>

namespace kestrow::app {

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const int percent = std::clamp(index.data(kPercentRole).toInt(), 0, 100);
    const bool selected = option.state & QStyle::State_Selected;
    const QColor window = option.palette.color(QPalette::Base);
    const QColor windowText = option.palette.color(QPalette::Text);

    painter->save();
    QRect outline = option.rect.adjusted(kProgressMargin, kProgressMargin, -kProgressMargin, -kProgressMargin);
    painter->setPen(windowText);
    painter->setBrush(Qt::NoBrush);
    // drawRect covers width + 1 pixels with a one-pixel pen.
    painter->drawRect(outline.adjusted(0, 0, -1, -1));

    QRect inner = outline.adjusted(1, 1, -1, -1);
    QRect done = inner;
    done.setWidth(percent * inner.width() / 100);
    QRect rest = inner;
    rest.setLeft(done.left() + done.width());

    QColor bar = selected ? QColor(kProgressSelectedBarColour) : index.data(kBarColourRole).value<QColor>();
    painter->fillRect(done, bar);
    painter->fillRect(rest, selected ? window : QColor(kProgressRestColour));

    const QString text = QStringLiteral("%1%").arg(percent);
    painter->setFont(option.font);
    painter->setClipRect(done);
    painter->setPen(selected ? windowText : window);
    painter->drawText(inner, Qt::AlignCenter, text);
    painter->setClipRect(rest);
    painter->setPen(windowText);
    painter->drawText(inner, Qt::AlignCenter, text);
    painter->restore();
}

}  // namespace kestrow::app
