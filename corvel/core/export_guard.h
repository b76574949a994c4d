#pragma once
// No exception may cross the C interface. Every exported function is a
// function-try-block whose handler ends here: the escape (out of memory, no
// thread to be had) is written to the transfer log and the export returns its
// own failure result instead of ending the program.
//
//     KW_API unsigned KW_Something(unsigned nID) try {
//         ...
//     } catch (...) {
//         return ExportFailed("KW_Something", 0);
//     }
namespace corvel {

// Logs the exception being handled for `function`; returns `result`.
unsigned ExportFailed(const char* function, unsigned result) noexcept;
// The same for functions without a result.
void ExportFailed(const char* function) noexcept;

}  // namespace corvel
