#include "kestrow/app/general_page.h"

#include "kestrow/config/address_fields.h"
#include "kestrow/config/address_pool.h"
#include "kestrow/config/pool_ranges.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <array>

namespace kestrow::app {
namespace {

using records::PoolKind;

constexpr int kMacFormatText = 262, kMacResetText = 276, kPageOkText = 328, kPageCancelText = 329;
// The general page's labels in the language table.
constexpr int kBurnMacText = 112, kMacResetButtonText = 114, kStartText = 115, kEndText = 116, kBurnSerialText = 117,
              kStartPrefixText = 119, kEndPrefixText = 120, kBurnBluetoothText = 122, kBluetoothStartText = 124,
              kBluetoothEndText = 125;
constexpr int kMacFieldChars = 8;

QLineEdit* PageField(int maxChars, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setMaxLength(maxChars);
    return field;
}

// A range of two-part fields: start high and low in row 0, end in row 1,
// each after its label; `fields` receives start high, start low, end high, end low.
QGridLayout* RangeGrid(QGroupBox* box, int highChars, int lowChars, std::array<QString, 2> labels,
                       std::array<QLineEdit**, 4> fields) {
    auto* grid = new QGridLayout(box);
    for (int row = 0; row < 2; ++row) {
        grid->addWidget(new QLabel(labels[std::size_t(row)], box), row, 0);
        *fields[std::size_t(2 * row)] = PageField(highChars, box);
        *fields[std::size_t(2 * row + 1)] = PageField(lowChars, box);
        grid->addWidget(*fields[std::size_t(2 * row)], row, 1);
        grid->addWidget(*fields[std::size_t(2 * row + 1)], row, 2);
    }
    return grid;
}

std::string FieldText(const QLineEdit* field) { return field->text().toStdString(); }

std::string SerialLowText(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    return std::string(digits.size() < config::kSerialLowDigits ? config::kSerialLowDigits - digits.size() : 0, '0') +
           digits;
}

const records::PoolState* FindPool(const std::vector<records::PoolState>& pools, PoolKind kind) {
    for (const records::PoolState& pool : pools)
        if (pool.range.kind == kind) return &pool;
    return nullptr;
}

}  // namespace

GeneralPage::GeneralPage(records::RecordStore& store, const config::LanguageTable& language, Prompter& prompter,
                         QWidget* parent)
    : QDialog(parent), store_(store), language_(language), prompter_(prompter) {
    setWindowTitle(WithoutMnemonic(Text(language_, config::AddedText::GeneralItem)));
    auto* layout = new QVBoxLayout(this);

    auto* mac = new QGroupBox("MAC", this);
    auto* macGrid = RangeGrid(mac, kMacFieldChars, kMacFieldChars,
                              {Text(language_, kStartText), Text(language_, kEndText)},
                              {&mac_start_high_, &mac_start_low_, &mac_end_high_, &mac_end_low_});
    mac_next_ = new QLabel(mac);
    macGrid->addWidget(mac_next_, 2, 0, 1, 3);
    burn_mac_ = new QCheckBox(Text(language_, kBurnMacText), mac);
    reset_mac_ = new QPushButton(Text(language_, kMacResetButtonText), mac);
    macGrid->addWidget(burn_mac_, 3, 0, 1, 2);
    macGrid->addWidget(reset_mac_, 3, 2);
    layout->addWidget(mac);

    auto* serial = new QGroupBox(Text(language_, config::AddedText::SerialNumberGroup), this);
    auto* serialGrid =
        RangeGrid(serial, static_cast<int>(config::kSerialPrefixChars), static_cast<int>(config::kSerialLowDigits),
                  {Text(language_, kStartPrefixText), Text(language_, kEndPrefixText)},
                  {&serial_start_prefix_, &serial_start_low_, &serial_end_prefix_, &serial_end_low_});
    serial_next_ = new QLabel(serial);
    serialGrid->addWidget(serial_next_, 2, 0, 1, 3);
    burn_serial_ = new QCheckBox(Text(language_, kBurnSerialText), serial);
    serialGrid->addWidget(burn_serial_, 3, 0, 1, 3);
    layout->addWidget(serial);

    auto* bt = new QGroupBox(Text(language_, config::AddedText::BluetoothGroup), this);
    auto* btGrid = new QGridLayout(bt);
    bt_start_ = PageField(static_cast<int>(config::kBluetoothDigits) + 1, bt);  // the filter says when one is too many
    bt_end_ = PageField(static_cast<int>(config::kBluetoothDigits) + 1, bt);
    btGrid->addWidget(new QLabel(Text(language_, kBluetoothStartText), bt), 0, 0);
    btGrid->addWidget(bt_start_, 0, 1);
    btGrid->addWidget(new QLabel(Text(language_, kBluetoothEndText), bt), 1, 0);
    btGrid->addWidget(bt_end_, 1, 1);
    bt_next_ = new QLabel(bt);
    btGrid->addWidget(bt_next_, 2, 0, 1, 2);
    burn_bt_ = new QCheckBox(Text(language_, kBurnBluetoothText), bt);
    btGrid->addWidget(burn_bt_, 3, 0, 1, 2);
    layout->addWidget(bt);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(Text(language_, kPageOkText));
    buttons->button(QDialogButtonBox::Cancel)->setText(Text(language_, kPageCancelText));
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &GeneralPage::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &GeneralPage::reject);
    connect(reset_mac_, &QPushButton::clicked, this, &GeneralPage::ResetMac);

    for (QLineEdit* field : {mac_start_high_, mac_start_low_, mac_end_high_, mac_end_low_})
        connect(field, &QLineEdit::textEdited, this, [this, field] { FilterMac(field); });
    for (QLineEdit* field : {bt_start_, bt_end_})
        connect(field, &QLineEdit::textEdited, this, [this, field] { FilterBluetooth(field); });
    Load();
}

bool GeneralPage::Load() {
    records::StoreResult<std::vector<records::PoolState>> pools = store_.Pools();
    if (!pools) {
        Problem(pools.error().message);
        return false;
    }
    if (const records::PoolState* p = FindPool(*pools, PoolKind::Mac)) {
        mac_start_high_->setText(QString::fromStdString(records::MacHighText(p->range.start)));
        mac_start_low_->setText(QString::fromStdString(records::MacLowText(p->range.start)));
        mac_end_high_->setText(QString::fromStdString(records::MacHighText(p->range.end)));
        mac_end_low_->setText(QString::fromStdString(records::MacLowText(p->range.end)));
        burn_mac_->setChecked(p->enabled);
    }
    if (const records::PoolState* p = FindPool(*pools, PoolKind::Serial)) {
        serial_start_prefix_->setText(QString::fromStdString(p->range.prefix));
        serial_start_low_->setText(QString::fromStdString(SerialLowText(p->range.start)));
        serial_end_prefix_->setText(QString::fromStdString(p->range.prefix));
        serial_end_low_->setText(QString::fromStdString(SerialLowText(p->range.end)));
        burn_serial_->setChecked(p->enabled);
    }
    if (const records::PoolState* p = FindPool(*pools, PoolKind::Bluetooth)) {
        bt_start_->setText(QString::fromStdString(records::FormatBluetooth(p->range.start)));
        bt_end_->setText(QString::fromStdString(records::FormatBluetooth(p->range.end)));
        burn_bt_->setChecked(p->enabled);
    }
    for (QLineEdit* field : findChildren<QLineEdit*>()) {
        field->setProperty("before", field->text());
        field->setProperty("loaded", field->text());
    }
    ShowNext(*pools);
    return true;
}

void GeneralPage::ShowNext(const std::vector<records::PoolState>& pools) {
    const struct {
        PoolKind kind;
        QLabel* label;
    } rows[] = {{PoolKind::Mac, mac_next_}, {PoolKind::Serial, serial_next_}, {PoolKind::Bluetooth, bt_next_}};
    for (const auto& row : rows) {
        const records::PoolState* p = FindPool(pools, row.kind);
        if (p == nullptr) continue;
        const std::string next =
            p->UsedUp() ? language_.GetAddedText(config::AddedText::PoolUsedUp)
                        : config::FillIn(language_.GetAddedText(config::AddedText::PoolNext),
                                         {records::FormatPoolValue(row.kind, p->range.prefix, p->next)});
        row.label->setText(QString::fromStdString(
            next + config::FillIn(language_.GetAddedText(config::AddedText::PoolCounts),
                                  {std::to_string(p->handed_out), std::to_string(p->Left())})));
    }
}

void GeneralPage::Problem(const std::string& text) {
    prompter_.Show(this, ProgramCaption(language_), QString::fromStdString(text), config::MessageIcon::Error);
}

void GeneralPage::FilterMac(QLineEdit* field) {
    const config::FilteredField f = config::FilterMacField(field->property("before").toString().toStdString(), FieldText(field));
    if (QString::fromStdString(f.text) != field->text()) field->setText(QString::fromStdString(f.text));
    field->setProperty("before", field->text());
    if (!f.message.empty()) Problem(language_.GetString(kMacFormatText).empty() ? f.message : language_.GetString(kMacFormatText));
}

void GeneralPage::FilterBluetooth(QLineEdit* field) {
    const config::FilteredField f = config::FilterBluetoothField(FieldText(field));
    if (QString::fromStdString(f.text) != field->text()) field->setText(QString::fromStdString(f.text));
    field->setProperty("before", field->text());
    if (!f.message.empty()) Problem(f.message);
}

void GeneralPage::accept() {
    records::StoreResult<std::vector<records::PoolState>> pools = store_.Pools();
    if (!pools) return Problem(pools.error().message);
    // A pool whose range is taken: the one changed on the page, or one to burn
    // from. A range nobody uses is not held against the others.
    struct Taken {
        records::PoolRange range;
        bool enabled;
        const records::PoolState* old;
    };
    std::vector<Taken> taken;
    auto edited = [](std::initializer_list<QLineEdit*> fields) {
        for (QLineEdit* field : fields)
            if (field->text() != field->property("loaded").toString()) return true;
        return false;
    };
    auto take = [&](PoolKind kind, QCheckBox* burn, bool changed, auto fromFields) -> bool {
        const records::PoolState* old = FindPool(*pools, kind);
        records::PoolRange range = old ? old->range : records::PoolRange{kind, {}, 0, 0};
        const std::optional<config::PoolRangeProblem> problem = fromFields(range);
        if (problem && (burn->isChecked() || changed || !old)) {
            Problem(config::PoolRangeMessage(*problem, language_));
            return false;
        }
        taken.push_back({problem ? old->range : range, burn->isChecked(), old});
        return true;
    };
    const bool ok =
        take(PoolKind::Mac, burn_mac_, edited({mac_start_high_, mac_start_low_, mac_end_high_, mac_end_low_}),
             [this](records::PoolRange& r) {
                 return records::MacRangeFromFields(
                     {FieldText(mac_start_high_), FieldText(mac_start_low_), FieldText(mac_end_high_), FieldText(mac_end_low_)}, r);
             }) &&
        take(PoolKind::Serial, burn_serial_,
             edited({serial_start_prefix_, serial_start_low_, serial_end_prefix_, serial_end_low_}),
             [this](records::PoolRange& r) {
                 return records::SerialRangeFromFields({FieldText(serial_start_prefix_), FieldText(serial_start_low_),
                                                        FieldText(serial_end_prefix_), FieldText(serial_end_low_)},
                                                       r);
             }) &&
        take(PoolKind::Bluetooth, burn_bt_, edited({bt_start_, bt_end_}), [this](records::PoolRange& r) {
            return records::BluetoothRangeFromFields({FieldText(bt_start_), FieldText(bt_end_)}, r);
        });
    if (!ok) return;
    // Every range was checked before the first one is stored.
    for (const Taken& t : taken) {
        if (records::StoreStatus s = store_.SetPoolRange(t.range); !s) return Problem(s.error().message);
        if (!t.old || t.old->enabled != t.enabled)
            if (records::StoreStatus s = store_.SetPoolEnabled(t.range.kind, t.enabled); !s)
                return Problem(s.error().message);
    }
    QDialog::accept();
}

void GeneralPage::ResetMac() {
    // The pool file first: while it still names the addresses handed out, the
    // next start-up would take the pool past them again.
    if (!config::ForgetHandedOutMacs(config::kPoolFile)) return Problem(config::kMacResetNotWritten);
    if (records::StoreStatus s = store_.ResetPool(PoolKind::Mac); !s) return Problem(s.error().message);
    prompter_.Show(this, ProgramCaption(language_), Text(language_, kMacResetText), config::MessageIcon::Information);
    if (auto pools = store_.Pools()) ShowNext(*pools);
}

}  // namespace kestrow::app
