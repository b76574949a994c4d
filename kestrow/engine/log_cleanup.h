#pragma once
// Start-up clean-up of old channel logs: channel logs older than a week (or
// dated in the future) are deleted, and every decision is written to the
// window's log.
#include "kestrow/engine/channel_log.h"

#include <ctime>
#include <string>

namespace kestrow::engine {

// Looks at the "*.txt" files of `folder` (the station's log folder); `today` is
// the local date. Only names of the form "ch?_log..." (channels 1 to 9) are
// candidates, so logs of channel 10 and above are never deleted.
void CleanOldChannelLogs(const std::string& folder, ChannelLog& mainLog, const std::tm& today);

// Days between two dates as the clean-up counts them (365-day years, 30-day months).
int LogAgeDays(const std::tm& today, const std::tm& fileDay);

}  // namespace kestrow::engine
