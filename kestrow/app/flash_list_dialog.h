#pragma once
// The SPI NOR and SPI NAND list dialogs: the configuration's list as a table
// whose cells are edited in place, with rows added and removed; OK writes back
// exactly the rows shown, Cancel leaves the list as it was. Each cell is
// checked as it is typed (a bad one is marked and said beneath the table), OK
// is refused while any is wrong, and Remove asks first.
#include "kestrow/app/prompter.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/flash_lists.h"
#include "kestrow/config/language_table.h"

#include <QDialog>

class QLabel;
class QTableWidget;
class QPushButton;

namespace kestrow::app {

class FlashListDialog : public QDialog {
    Q_OBJECT
public:
    // `prompter` asks before a row is removed (message boxes when null).
    FlashListDialog(config::FlashListKind kind, config::BurnConfig& config, const config::LanguageTable& language,
                    QWidget* parent = nullptr, Prompter* prompter = nullptr);

    void accept() override;

    QTableWidget* Table() const { return table_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* RemoveButton() const { return remove_; }
    // What is wrong with the rows, one line each; empty when OK may save them.
    QLabel* Problems() const { return problems_; }

private:
    void ShowRows();
    // Marks the cells that do not read as their column's value and says why.
    void ShowProblems();

    config::BurnConfig& config_;
    config::FlashListEditor editor_;
    QTableWidget* table_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
    QLabel* problems_ = nullptr;
    Prompter& prompter_;
    bool showing_ = false;
};

}  // namespace kestrow::app
