#pragma once
// "Change Password": user, old password, new password and its confirmation;
// OK applies the change with config::ChangePassword and shows its outcome.
#include "kestrow/app/prompter.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"

#include <QDialog>

class QComboBox;
class QLineEdit;

namespace kestrow::app {

class ChangePasswordDialog : public QDialog {
    Q_OBJECT
public:
    ChangePasswordDialog(config::BurnConfig& config, const config::LanguageTable& language, Prompter& prompter,
                         QWidget* parent = nullptr);

    void accept() override;

    QComboBox* UserList() const { return user_; }
    QLineEdit* OldPassword() const { return old_; }
    QLineEdit* NewPassword() const { return new_; }
    QLineEdit* Confirmation() const { return confirm_; }

private:
    config::BurnConfig& config_;
    const config::LanguageTable& language_;
    Prompter& prompter_;
    QComboBox* user_ = nullptr;
    QLineEdit* old_ = nullptr;
    QLineEdit* new_ = nullptr;
    QLineEdit* confirm_ = nullptr;
};

}  // namespace kestrow::app
