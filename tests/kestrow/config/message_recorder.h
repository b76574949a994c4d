#pragma once
// Records every message the configuration code shows.
#include "kestrow/config/message_sink.h"

#include <string>
#include <vector>

namespace kestrow::config::testing {

struct ShownMessage {
    std::string caption;
    std::string text;
    MessageIcon icon;
};

class MessageRecorder : public MessageSink {
public:
    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
        messages.push_back({caption, text, icon});
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const ShownMessage& m : messages) texts.push_back(m.text);
        return texts;
    }
    std::vector<ShownMessage> messages;
};

}  // namespace kestrow::config::testing
