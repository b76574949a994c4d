#pragma once
// The SPI NOR and SPI NAND list dialogs: the configuration's list as a table
// whose cells are edited in place, with rows added and removed; OK writes back
// exactly the rows shown, Cancel leaves the list as it was.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/flash_lists.h"
#include "kestrow/config/language_table.h"

#include <QDialog>

class QTableWidget;
class QPushButton;

namespace kestrow::app {

class FlashListDialog : public QDialog {
    Q_OBJECT
public:
    FlashListDialog(config::FlashListKind kind, config::BurnConfig& config, const config::LanguageTable& language,
                    QWidget* parent = nullptr);

    void accept() override;

    QTableWidget* Table() const { return table_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* RemoveButton() const { return remove_; }

private:
    void ShowRows();

    config::BurnConfig& config_;
    config::FlashListEditor editor_;
    QTableWidget* table_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
    bool showing_ = false;
};

}  // namespace kestrow::app
