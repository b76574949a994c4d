#include "corvel/producer/transport.h"

#include "corvel/core/transfer_log.h"

#include <string>

namespace corvel::producer {

void LogCommandFailure(const char* caller, unsigned code, std::string_view why) {
    TransferLogf("%s: command %u (%s) fail: %s\r\n", caller, code, std::string(CommandName(code)).c_str(),
                 std::string(why).c_str());
}

}  // namespace corvel::producer
