#pragma once
// Paints the "Progress" cell: an outlined bar 5 pixels inside the cell, the
// done part in the row's bar colour and the rest in a light grey, with the
// percentage centred over both and clipped so that it reads in the window
// colour over the bar and in the text colour over the rest. A selected row
// shows a grey bar on the window colour with the whole text in the text colour.
#include <QStyledItemDelegate>

namespace kestrow::app {

inline constexpr int kProgressMargin = 5;
inline constexpr QRgb kProgressRestColour = 0xECE9EC;
inline constexpr QRgb kProgressSelectedBarColour = 0xC8C8C8;

class ProgressDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace kestrow::app
