// RAM-configuration files as the hardware page imports them.
#include "kestrow/config/ram_config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = kestrow::fuzz::Station().Write("ram.txt", data, size);
    kestrow::fuzz::DiscardMessages sink;
    kestrow::config::RamConfigPorter porter;
    if (porter.Import(path, sink) == 1) {
        for (int chip = 0; chip < 13; ++chip) (void)porter.ImportedWord(chip);
        (void)kestrow::config::FormatRamConfigFile(*porter.imported(), 0);
    }
    return 0;
}
