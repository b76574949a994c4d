#include "kestrow/app/flash_list_dialog.h"

#include "kestrow/app/prompter.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrow::app {

namespace {

// Asks with the message boxes when the caller gave no prompter.
Prompter& DefaultPrompter() {
    static Prompter prompter;
    return prompter;
}

constexpr QRgb kBadCellColour = 0xFFC8C8;

}  // namespace

FlashListDialog::FlashListDialog(config::FlashListKind kind, config::BurnConfig& config,
                                 const config::LanguageTable& language, QWidget* parent, Prompter* prompter)
    : QDialog(parent), config_(config), editor_(kind, config), prompter_(prompter ? *prompter : DefaultPrompter()) {
    setWindowTitle(Text(language, kind == config::FlashListKind::SpiNor ? config::AddedText::SpiNorFlash
                                                                         : config::AddedText::SpiNandFlash));
    // Fits a small screen; the table scrolls.
    resize(760, 360);
    table_ = new QTableWidget(this);
    QStringList headers;
    for (const std::string& header : editor_.Headers()) headers << QString::fromStdString(header);
    table_->setColumnCount(static_cast<int>(headers.size()));
    table_->setHorizontalHeaderLabels(headers);
    table_->verticalHeader()->hide();
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    problems_ = new QLabel(this);
    problems_->setStyleSheet("color: #c00000");
    problems_->setWordWrap(true);
    ShowRows();

    add_ = new QPushButton(Text(language, config::AddedText::AddRow), this);
    remove_ = new QPushButton(Text(language, config::AddedText::RemoveRow), this);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Text(language, 328), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text(language, 329), QDialogButtonBox::RejectRole);
    auto* row = new QHBoxLayout;
    row->addWidget(add_);
    row->addWidget(remove_);
    row->addStretch(1);
    row->addWidget(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_, 1);
    layout->addWidget(problems_);
    layout->addLayout(row);

    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(add_, &QPushButton::clicked, this, [this] {
        editor_.AddRow();
        ShowRows();
        table_->selectRow(table_->rowCount() - 1);
        table_->setCurrentCell(table_->rowCount() - 1, 1);
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        int row = table_->currentRow();
        if (row < 0) return;
        const auto& shown = editor_.Rows()[static_cast<std::size_t>(row)];
        const QString which = QString::fromStdString(shown[0] + " (" + shown[1] + " " + shown.back() + ")");
        if (!prompter_.Ask(this, windowTitle(), remove_->text().remove('&') + " " + which + "?")) return;
        editor_.RemoveRow(static_cast<std::size_t>(row));
        ShowRows();
    });
    connect(table_, &QTableWidget::cellChanged, this, [this](int row, int column) {
        if (showing_) return;
        editor_.SetCell(static_cast<std::size_t>(row), static_cast<std::size_t>(column),
                        table_->item(row, column)->text().toStdString());
        ShowProblems();
    });
}

void FlashListDialog::ShowRows() {
    showing_ = true;
    const auto& rows = editor_.Rows();
    table_->setRowCount(static_cast<int>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            auto* item = new QTableWidgetItem(QString::fromStdString(rows[r][c]));
            // The row number follows the row; it is not stored.
            if (c == 0) item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            table_->setItem(static_cast<int>(r), static_cast<int>(c), item);
        }
    }
    showing_ = false;
    ShowProblems();
}

void FlashListDialog::ShowProblems() {
    showing_ = true;
    for (int r = 0; r < table_->rowCount(); ++r)
        for (int c = 1; c < table_->columnCount(); ++c)
            if (QTableWidgetItem* item = table_->item(r, c)) {
                const bool bad = !editor_.CellProblem(static_cast<std::size_t>(r), static_cast<std::size_t>(c)).empty();
                item->setBackground(bad ? QBrush(QColor(kBadCellColour)) : QBrush());
            }
    showing_ = false;
    QStringList lines;
    for (const std::string& problem : editor_.Problems()) lines << QString::fromStdString(problem);
    problems_->setText(lines.join('\n'));
    problems_->setVisible(!lines.isEmpty());
}

void FlashListDialog::accept() {
    // A row that would not read back as typed (or an empty Add) is not saved.
    if (!editor_.Problems().empty()) {
        ShowProblems();
        return;
    }
    editor_.WriteBack(config_);
    QDialog::accept();
}

}  // namespace kestrow::app
