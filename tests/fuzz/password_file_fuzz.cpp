// password.cfg: any bytes read, and whatever passwords come out save and read back.
#include "kestrow/config/password_file.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrow::config;
    auto& station = kestrow::fuzz::Station();
    std::string producer = "p", researcher = "r";
    if (!LoadPasswordFile(station.Write("password.cfg", data, size), producer, researcher)) return 0;
    std::string saved = station.Path("password_saved.cfg");
    if (!SavePasswordFile(saved, producer, researcher)) std::abort();
    std::string p2, r2;
    if (!LoadPasswordFile(saved, p2, r2)) std::abort();
    if (p2 != CutPassword(producer) || r2 != CutPassword(researcher)) std::abort();
    return 0;
}
