#pragma once
// "General": the identity pools a station hands out from, kept in its records
// store. The MAC range as high and low parts, the serial-number range as
// prefix and six-digit low part, the Bluetooth range, each pool's burn flag,
// what comes next and how many were handed out, and "Current MAC Reset". The
// fields filter each keystroke; OK checks the whole ranges first and takes
// nothing while one is refused, showing the first problem.
#include "kestrow/app/prompter.h"
#include "kestrow/config/language_table.h"
#include "kestrow/records/record_store.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kestrow::app {

class GeneralPage : public QDialog {
    Q_OBJECT
public:
    GeneralPage(records::RecordStore& store, const config::LanguageTable& language, Prompter& prompter,
                QWidget* parent = nullptr);

    // Checks every range, then stores the ranges and burn flags; the page
    // closes only when all of it was taken.
    void accept() override;
    // "Current MAC Reset": the next MAC is the range's start again.
    void ResetMac();

    QLineEdit* MacStartHigh() const { return mac_start_high_; }
    QLineEdit* MacStartLow() const { return mac_start_low_; }
    QLineEdit* MacEndHigh() const { return mac_end_high_; }
    QLineEdit* MacEndLow() const { return mac_end_low_; }
    QLineEdit* SerialStartPrefix() const { return serial_start_prefix_; }
    QLineEdit* SerialStartLow() const { return serial_start_low_; }
    QLineEdit* SerialEndPrefix() const { return serial_end_prefix_; }
    QLineEdit* SerialEndLow() const { return serial_end_low_; }
    QLineEdit* BluetoothStart() const { return bt_start_; }
    QLineEdit* BluetoothEnd() const { return bt_end_; }
    QCheckBox* BurnMac() const { return burn_mac_; }
    QCheckBox* BurnSerial() const { return burn_serial_; }
    QCheckBox* BurnBluetooth() const { return burn_bt_; }
    QLabel* MacNext() const { return mac_next_; }
    QPushButton* ResetMacButton() const { return reset_mac_; }

private:
    // The pools as the store holds them, into the fields.
    bool Load();
    void ShowNext(const std::vector<records::PoolState>& pools);
    void Problem(const std::string& text);
    void FilterMac(QLineEdit* field);
    void FilterBluetooth(QLineEdit* field);

    records::RecordStore& store_;
    const config::LanguageTable& language_;
    Prompter& prompter_;

    QLineEdit* mac_start_high_ = nullptr;
    QLineEdit* mac_start_low_ = nullptr;
    QLineEdit* mac_end_high_ = nullptr;
    QLineEdit* mac_end_low_ = nullptr;
    QLineEdit* serial_start_prefix_ = nullptr;
    QLineEdit* serial_start_low_ = nullptr;
    QLineEdit* serial_end_prefix_ = nullptr;
    QLineEdit* serial_end_low_ = nullptr;
    QLineEdit* bt_start_ = nullptr;
    QLineEdit* bt_end_ = nullptr;
    QCheckBox* burn_mac_ = nullptr;
    QCheckBox* burn_serial_ = nullptr;
    QCheckBox* burn_bt_ = nullptr;
    QLabel* mac_next_ = nullptr;
    QLabel* serial_next_ = nullptr;
    QLabel* bt_next_ = nullptr;
    QPushButton* reset_mac_ = nullptr;
};

}  // namespace kestrow::app
