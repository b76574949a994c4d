#pragma once
// Paints the "Result" cell for reading from across the room: the whole cell in
// green or red with the text in bold white, whether the row is selected or
// not; a row without a result is drawn as any other cell.
#include <QStyledItemDelegate>

namespace kestrow::app {

class ResultDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace kestrow::app
