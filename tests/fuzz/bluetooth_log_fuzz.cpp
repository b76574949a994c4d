// blue_addr_log.txt: the Bluetooth addresses already used.
#include "kestrow/config/address_pool.h"
#include "kestrow/config/burn_config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrow::config;
    std::string path = kestrow::fuzz::Station().Write(kBluetoothLogFile, data, size);
    kestrow::fuzz::DiscardMessages sink;
    BurnConfig config;
    config.blue_start = "000000000000";
    config.blue_end = "FFFFFFFFFFFF";
    int found = 0;
    config.ScanBluetoothLog(path, found, sink);
    return 0;
}
