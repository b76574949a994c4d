// Private-profile files (burn.ini and friends): reading any bytes, and a value
// set and saved reads back as set while the other keys keep theirs.
#include "kestrow/config/private_profile.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdlib>

using kestrow::config::PrivateProfile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& station = kestrow::fuzz::Station();
    PrivateProfile profile = PrivateProfile::Load(station.Write("burn.ini", data, size));
    const char* sections[] = {"language", "config", "config_addr", "PN", "CLK"};
    for (const char* section : sections) {
        for (const std::string& key : profile.Keys(section)) {
            (void)profile.GetString(section, key);
            (void)profile.GetInt(section, key, -1);
        }
    }
    std::string before = profile.GetString("config", "other", "", 4096);
    profile.Set("language", "name", std::string("English"));
    std::string saved = station.Path("burn_saved.ini");
    if (!profile.Save(saved)) std::abort();
    PrivateProfile again = PrivateProfile::Load(saved);
    if (again.GetString("language", "name") != "English") std::abort();
    if (again.GetString("config", "other", "", 4096) != before) std::abort();
    return 0;
}
