// config_addr.txt: the MAC and serial-number pools read at start-up, which
// also clear the entries of unused channels in the file.
#include "kestrow/config/address_pool.h"
#include "kestrow/config/burn_config.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrow::config;
    kestrow::fuzz::DiscardMessages sink;
    for (const char* prefix : {kMacPoolPrefix, kSerialPoolPrefix}) {
        std::string path = kestrow::fuzz::Station().Write(kPoolFile, data, size);
        BurnConfig config;
        config.device_channel = 2;
        config.LoadAddressPool(path, prefix, sink);
    }
    return 0;
}
