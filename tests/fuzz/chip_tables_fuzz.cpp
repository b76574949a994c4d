// SDK_CPU_DDR2.ini: the project, part-number, clock and RAM tables, and the
// selections start-up makes from them.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_tables.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = kestrow::fuzz::Station().Write("SDK_CPU_DDR2.ini", data, size);
    kestrow::fuzz::DiscardMessages sink;
    kestrow::config::BurnConfig config;
    kestrow::config::ConfigNotes notes;
    if (config.LoadChipTables(path, sink, &notes) != 1) return 0;
    config.SelectClockAndPart();
    config.DeriveChipType(sink);
    kestrow::config::ClockList list = kestrow::config::BuildClockList(config);
    int line = kestrow::config::SelectedClockLine(config, list);
    if (!list.lines.empty()) kestrow::config::ChooseClockLine(config, list, line);
    return 0;
}
