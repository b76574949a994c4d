#pragma once
// The counters beside the channel list: passed, failed and the yield of a
// span of burns. The window shows the station's counts since start; whatever
// else counts results (a record store's day) can show its own the same way.
#include "kestrow/config/language_table.h"
#include "kestrow/engine/result_tally.h"

#include <QGroupBox>

class QLabel;

namespace kestrow::app {

class SessionCounters : public QGroupBox {
    Q_OBJECT
public:
    // `title` names the span ("Since start").
    SessionCounters(const config::LanguageTable& language, config::AddedText title, QWidget* parent = nullptr);

    void Show(const engine::ResultTally& tally);
    // The language changed.
    void Relabel();
    const engine::ResultTally& Shown() const { return tally_; }
    QString PassedText() const;
    QString FailedText() const;
    QString YieldText() const;

private:
    const config::LanguageTable& language_;
    config::AddedText title_;
    engine::ResultTally tally_;
    QLabel* passed_ = nullptr;
    QLabel* failed_ = nullptr;
    QLabel* yield_ = nullptr;
};

}  // namespace kestrow::app
