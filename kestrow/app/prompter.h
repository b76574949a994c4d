#pragma once
// Message boxes, questions and file choices of the window and its dialogs,
// behind one seam so that offscreen tests can answer them without a person.
#include "kestrow/config/language_table.h"
#include "kestrow/config/message_sink.h"

#include <QString>

#include <string>
#include <vector>

class QWidget;

namespace kestrow::app {

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual void Show(QWidget* parent, const QString& caption, const QString& text, config::MessageIcon icon);
    // A Yes/No question; true for Yes.
    virtual bool Ask(QWidget* parent, const QString& caption, const QString& text);
    // An existing file chosen with `filter`; empty when cancelled.
    virtual QString ChooseFile(QWidget* parent, const QString& filter, const QString& start);
    // A file to write, `suggested` offered first; empty when cancelled.
    virtual QString ChooseSaveFile(QWidget* parent, const QString& filter, const QString& suggested);

    // The boxes' buttons speak `language` (English when none is given).
    void UseLanguage(const config::LanguageTable* language) { language_ = language; }

private:
    const config::LanguageTable* language_ = nullptr;
};

// The configuration's messages shown through a prompter; an empty caption
// becomes the program's caption.
class PrompterSink : public config::MessageSink {
public:
    PrompterSink(Prompter& prompter, const config::LanguageTable& language, QWidget* parent = nullptr)
        : prompter_(prompter), language_(language), parent_(parent) {}
    void ShowMessage(const std::string& caption, const std::string& text, config::MessageIcon icon) override;

private:
    Prompter& prompter_;
    const config::LanguageTable& language_;
    QWidget* parent_;
};

// A file the station could not save, and why.
struct SaveFailure {
    std::string file;
    std::string reason;
};
// One error box per failure: "Failed to save FILE" and the reason below it.
void ShowSaveFailures(Prompter& prompter, const config::LanguageTable& language,
                      const std::vector<SaveFailure>& failures, QWidget* parent = nullptr);
// Why the language asked for is not the one shown (LanguageTable::LastError),
// when there is a reason to tell.
void ShowLanguageProblem(Prompter& prompter, const config::LanguageTable& language, QWidget* parent = nullptr);

// The program's caption (language entry 0), "Morvo_Uart_Kestrow" in English.
QString ProgramCaption(const config::LanguageTable& language);
// Language entry `index` as a QString.
QString Text(const config::LanguageTable& language, int index);
// A label without its mnemonic: "Burn &Settings" and "烧录设置(&S)" as titles.
QString WithoutMnemonic(QString text);
// `text` with a mnemonic on `key` when it has none: an '&' before the first
// `key` of a Latin text, else "(&K)" after it, as the Chinese texts carry theirs.
QString WithMnemonic(QString text, QChar key);
// An added text in the active language.
QString Text(const config::LanguageTable& language, config::AddedText id);

}  // namespace kestrow::app
