#include "corvel/core/export_guard.h"

#include "corvel/core/transfer_log.h"

#include <exception>

namespace corvel {

unsigned ExportFailed(const char* function, unsigned result) noexcept {
    const char* what = "an unknown exception";
    try {
        throw;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    try {
        TransferLogf("%s: %s, call failed\r\n", function, what);
    } catch (...) {
        // Not even the log line could be made; the result still goes back.
    }
    return result;
}

void ExportFailed(const char* function) noexcept { ExportFailed(function, 0u); }

}  // namespace corvel
