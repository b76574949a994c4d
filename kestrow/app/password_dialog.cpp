#include "kestrow/app/password_dialog.h"

#include "kestrow/config/password_file.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace kestrow::app {
namespace {

constexpr int kTitleText = 48;
constexpr int kUserText = 49;
constexpr int kOldText = 50;
constexpr int kNewText = 51;
constexpr int kConfirmText = 52;
constexpr int kProducerText = 43;
constexpr int kResearcherText = 44;

}  // namespace

ChangePasswordDialog::ChangePasswordDialog(config::BurnConfig& config, const config::LanguageTable& language,
                                           Prompter& prompter, QWidget* parent)
    : QDialog(parent), config_(config), language_(language), prompter_(prompter) {
    setWindowTitle(Text(language_, kTitleText));
    user_ = new QComboBox(this);
    user_->addItem(Text(language_, kProducerText));
    user_->addItem(Text(language_, kResearcherText));
    auto passwordEdit = [this] {
        auto* edit = new QLineEdit(this);
        edit->setEchoMode(QLineEdit::Password);
        return edit;
    };
    old_ = passwordEdit();
    new_ = passwordEdit();
    confirm_ = passwordEdit();

    auto* form = new QFormLayout;
    form->addRow(Text(language_, kUserText), user_);
    form->addRow(Text(language_, kOldText), old_);
    form->addRow(Text(language_, kNewText), new_);
    form->addRow(Text(language_, kConfirmText), confirm_);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(Text(language_, 328), QDialogButtonBox::AcceptRole);
    buttons->addButton(Text(language_, 329), QDialogButtonBox::RejectRole);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void ChangePasswordDialog::accept() {
    config::PasswordChangeRequest request{user_->currentText().toStdString(), old_->text().toStdString(),
                                          new_->text().toStdString(), confirm_->text().toStdString()};
    config::PasswordChangeResult result = config::ChangePassword(
        request, language_, config_.producer_password, config_.researcher_password,
        [this] { return config_.SavePasswords() == 1; });
    prompter_.Show(this, ProgramCaption(language_), QString::fromStdString(result.message),
                   result.isError ? config::MessageIcon::Error : config::MessageIcon::Information);
    QDialog::accept();
}

}  // namespace kestrow::app
