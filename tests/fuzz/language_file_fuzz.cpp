// Language files from the Lang folder.
#include "kestrow/config/language_table.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = kestrow::fuzz::Station().Write("lang.txt", data, size);
    std::vector<std::string> entries;
    std::string error;
    if (kestrow::config::ParseLanguageFile(path, entries, error))
        (void)kestrow::config::FormatLanguageFile(entries);
    return 0;
}
