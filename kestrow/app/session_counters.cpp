#include "kestrow/app/session_counters.h"

#include <QLabel>
#include <QHBoxLayout>

namespace kestrow::app {
namespace {

constexpr int kCounterPointSizeStep = 2;

}  // namespace

SessionCounters::SessionCounters(const config::LanguageTable& language, config::AddedText title, QWidget* parent)
    : QGroupBox(parent), language_(language), title_(title) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 2, 6, 2);
    for (QLabel** label : {&passed_, &failed_, &yield_}) {
        *label = new QLabel(this);
        QFont font = (*label)->font();
        font.setBold(true);
        font.setPointSize(font.pointSize() + kCounterPointSizeStep);
        (*label)->setFont(font);
        layout->addWidget(*label);
        layout->addSpacing(12);
    }
    passed_->setStyleSheet("color: #00a000");
    failed_->setStyleSheet("color: #d00000");
    Relabel();
}

QString SessionCounters::PassedText() const {
    return QString::asprintf(language_.GetAddedText(config::AddedText::SessionPassed).c_str(), tally_.passed);
}

QString SessionCounters::FailedText() const {
    return QString::asprintf(language_.GetAddedText(config::AddedText::SessionFailed).c_str(), tally_.failed);
}

QString SessionCounters::YieldText() const {
    return QString::asprintf(language_.GetAddedText(config::AddedText::SessionYield).c_str(),
                             engine::YieldText(tally_).c_str());
}

void SessionCounters::Show(const engine::ResultTally& tally) {
    if (tally == tally_) return;
    tally_ = tally;
    Relabel();
}

void SessionCounters::Relabel() {
    setTitle(QString::fromStdString(language_.GetAddedText(title_)));
    passed_->setText(PassedText());
    failed_->setText(FailedText());
    yield_->setText(YieldText());
}

}  // namespace kestrow::app
