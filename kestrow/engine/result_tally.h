#pragma once
// Counts of board results and the yield they give, for the session counters
// beside the channel list. The station counts the results since start; a
// record store can fill one for other spans (today, a shift) the same way.
#include <cstdio>
#include <string>

namespace kestrow::engine {

struct ResultTally {
    unsigned passed = 0;
    unsigned failed = 0;

    unsigned Total() const { return passed + failed; }
    bool operator==(const ResultTally&) const = default;
};

// "87.5%" (one decimal), or "-" before any result.
inline std::string YieldText(const ResultTally& tally) {
    if (tally.Total() == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * tally.passed / tally.Total());
    return text;
}

}  // namespace kestrow::engine
