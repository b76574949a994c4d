// config.txt as the station reads it at start-up, then written back: whatever
// the file holds, loading must not crash and the record must format again.
#include "kestrow/config/burn_config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = kestrow::fuzz::Station().Write("config.txt", data, size);
    kestrow::config::BurnConfig config;
    kestrow::config::ConfigNotes notes;
    config.Load(path, &notes);
    config.Apply();
    (void)config.FormatConfigText();
    return 0;
}
