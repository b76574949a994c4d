#pragma once
// Message boxes, questions and file choices of the window and its dialogs,
// behind one seam so that offscreen tests can answer them without a person.
#include "kestrow/config/message_sink.h"

#include <QString>

class QWidget;

namespace kestrow::config {
class LanguageTable;
}

namespace kestrow::app {

class Prompter {
public:
    virtual ~Prompter() = default;
    virtual void Show(QWidget* parent, const QString& caption, const QString& text, config::MessageIcon icon);
    // A Yes/No question; true for Yes.
    virtual bool Ask(QWidget* parent, const QString& caption, const QString& text);
    // An existing file chosen with `filter`; empty when cancelled.
    virtual QString ChooseFile(QWidget* parent, const QString& filter, const QString& start);
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

// The program's caption (language entry 0), "Morvo_Uart_Kestrow" in English.
QString ProgramCaption(const config::LanguageTable& language);
// Language entry `index` as a QString.
QString Text(const config::LanguageTable& language, int index);

}  // namespace kestrow::app
