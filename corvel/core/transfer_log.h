#pragma once
// The library's daily transfer log in the station folder.
#include <string>
#include <string_view>

namespace corvel {

// Level bits of a log line.
constexpr unsigned kLogClose = 1;  // stamp the line, then close the file
constexpr unsigned kLogStamp = 2;  // stamp the line with [hh:mm:ss]

// Appends `text` (which carries its own line end) at `level`. Opens the file on
// the first line after a close, writing the header. A file that cannot be
// opened drops the line; the log never reports failure.
void TransferLog(std::string_view text, unsigned level = kLogStamp);
// printf-style convenience for the library's messages (level kLogStamp).
void TransferLogf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Closes the file; the next line reopens it.
void CloseTransferLog();

// The file the log writes to today: <station>/_logYYYY_MM_DD.txt.
std::string TransferLogPath();

}  // namespace corvel
