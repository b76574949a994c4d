#include "kestrow/records/records_location.h"

#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/config/text_util.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

namespace kestrow::records {
namespace {

bool IsPostgresUrl(const std::string& text) {
    return config::StartsWith(text, "postgresql://") || config::StartsWith(text, "postgres://");
}

std::string BurnIniValue(const std::string& stationFolder, const char* key) {
    return config::ReadProfileString(stationFolder + "/" + config::kBurnIniFile, kRecordsSection, key, "", 1024);
}

}  // namespace

std::string RecordsLocation::Describe() const {
    return backend == Backend::Postgres ? HidePassword(target) : target;
}

RecordsLocation ResolveRecordsLocation(const std::string& stationFolder, const std::string& records) {
    std::string chosen = records.empty() ? BurnIniValue(stationFolder, "Url") : records;
    RecordsLocation location;
    location.outbox_path = stationFolder + "/" + kOutboxFile;
    if (IsPostgresUrl(chosen)) {
        location.backend = RecordsLocation::Backend::Postgres;
        location.target = chosen;
        return location;
    }
    if (chosen.empty()) chosen = kRecordsFile;
    location.target = chosen.front() == '/' ? chosen : stationFolder + "/" + chosen;
    return location;
}

StationIdentity ResolveStationIdentity(const std::string& stationFolder) {
    StationIdentity identity;
    identity.station = BurnIniValue(stationFolder, "Station");
    if (identity.station.empty()) identity.station = std::filesystem::path(stationFolder).filename().string();
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) identity.host = host;
    return identity;
}

std::string HidePassword(const std::string& url) {
    std::string out = url;
    const std::size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const std::size_t authority = scheme + 3;
        const std::size_t end = out.find_first_of("/?", authority);
        const std::size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
        if (at != std::string::npos && at >= authority) {
            const std::size_t colon = out.find(':', authority);
            if (colon != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
        }
    }
    for (std::size_t at = 0; (at = out.find("password=", at)) != std::string::npos;) {
        at += 9;
        const std::size_t end = out.find('&', at);
        out.replace(at, (end == std::string::npos ? out.size() : end) - at, "***");
    }
    return out;
}

}  // namespace kestrow::records
