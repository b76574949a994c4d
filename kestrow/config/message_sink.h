#pragma once
// Where the Qt-free configuration code shows its messages: the window puts them
// in a message box, the command line on stderr, tests into a recorder.
#include <string>

namespace kestrow::config {

enum class MessageIcon { Information, Warning, Error, Question };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) = 0;
};

// Caption of the configuration's error boxes.
inline constexpr const char* kErrorCaption = "Error";
// An empty caption asks the sink for the program's own caption.
inline constexpr const char* kProgramCaption = "";

}  // namespace kestrow::config
