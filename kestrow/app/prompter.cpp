#include "kestrow/app/prompter.h"

#include "kestrow/config/language_table.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

namespace kestrow::app {
namespace {

constexpr int kOkText = 328;

}  // namespace

void Prompter::Show(QWidget* parent, const QString& caption, const QString& text, config::MessageIcon icon) {
    QMessageBox::Icon shown = QMessageBox::Information;
    switch (icon) {
        case config::MessageIcon::Information: shown = QMessageBox::Information; break;
        case config::MessageIcon::Warning: shown = QMessageBox::Warning; break;
        case config::MessageIcon::Error: shown = QMessageBox::Critical; break;
        case config::MessageIcon::Question: shown = QMessageBox::Question; break;
    }
    QMessageBox box(shown, caption, text, QMessageBox::Ok, parent);
    if (language_) box.button(QMessageBox::Ok)->setText(Text(*language_, kOkText));
    box.exec();
}

bool Prompter::Ask(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    if (language_) {
        box.button(QMessageBox::Yes)->setText(Text(*language_, config::AddedText::YesButton));
        box.button(QMessageBox::No)->setText(Text(*language_, config::AddedText::NoButton));
    }
    return box.exec() == QMessageBox::Yes;
}

QString Prompter::ChooseFile(QWidget* parent, const QString& filter, const QString& start) {
    return QFileDialog::getOpenFileName(parent, QString(), start, filter);
}

QString Prompter::ChooseSaveFile(QWidget* parent, const QString& filter, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QString(), suggested, filter);
}

void PrompterSink::ShowMessage(const std::string& caption, const std::string& text, config::MessageIcon icon) {
    QString shownCaption = caption.empty() ? ProgramCaption(language_) : QString::fromStdString(caption);
    prompter_.Show(parent_, shownCaption, QString::fromStdString(text), icon);
}

namespace {

// Added text `id` with `argument` in place of its "%s".
QString AddedText(const config::LanguageTable& language, config::AddedText id, const std::string& argument) {
    return QString::fromStdString(config::FillIn(language.GetAddedText(id), {argument}));
}

}  // namespace

void ShowSaveFailures(Prompter& prompter, const config::LanguageTable& language,
                      const std::vector<SaveFailure>& failures, QWidget* parent) {
    for (const SaveFailure& f : failures) {
        prompter.Show(parent, ProgramCaption(language),
                      AddedText(language, config::AddedText::SaveFailed, f.file) + "\n" + QString::fromStdString(f.reason),
                      config::MessageIcon::Error);
    }
}

void ShowLanguageProblem(Prompter& prompter, const config::LanguageTable& language, QWidget* parent) {
    if (language.LastError().empty()) return;
    prompter.Show(parent, ProgramCaption(language),
                  AddedText(language, config::AddedText::LanguageRefused, language.LastError()),
                  config::MessageIcon::Warning);
}

QString ProgramCaption(const config::LanguageTable& language) {
    QString caption = Text(language, 0);
    // Start-up shows its messages before a language is chosen.
    if (caption.isEmpty()) caption = QString::fromUtf8(config::BuiltinEnglishTexts()[0].data(),
                                                       static_cast<qsizetype>(config::BuiltinEnglishTexts()[0].size()));
    return caption;
}

QString WithMnemonic(QString text, QChar key) {
    if (text.contains(QLatin1Char('&'))) return text;
    bool latin = true;
    for (QChar c : text) latin = latin && c.unicode() < 0x80;
    const qsizetype at = latin ? text.indexOf(key, 0, Qt::CaseInsensitive) : -1;
    if (at >= 0) return text.insert(at, QLatin1Char('&'));
    return text + QStringLiteral("(&") + key.toUpper() + QLatin1Char(')');
}

QString WithoutMnemonic(QString text) {
    static const QRegularExpression mnemonic(QStringLiteral("\\(&.\\)|&(?=.)"));
    return text.remove(mnemonic);
}

QString Text(const config::LanguageTable& language, config::AddedText id) {
    return QString::fromStdString(language.GetAddedText(id));
}

QString Text(const config::LanguageTable& language, int index) {
    return QString::fromStdString(language.GetString(static_cast<std::size_t>(index)));
}

}  // namespace kestrow::app
