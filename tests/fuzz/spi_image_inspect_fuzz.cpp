// `kestrow spi-image --inspect` on any file.
#include "kestrow/image/spi_image_inspect.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = kestrow::fuzz::Station().Write("image.bin", data, size);
    kestrow::image::SpiImageLayout layout;
    std::string error;
    if (kestrow::image::ReadSpiImageLayout(path, layout, error)) (void)kestrow::image::FormatSpiImageLayout(layout);
    return 0;
}
