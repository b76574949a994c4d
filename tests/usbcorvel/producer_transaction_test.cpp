// Transactions of the access library against the virtual board's producer,
// carried over a bulk pipe (producer_pipe.h).
#include "tests/usbcorvel/producer_pipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using usbtest::ProducerPipe;

bool Commit(ProducerPipe& pipe, T_USB_CORVEL command) {
    std::string error;
    bool ok = pipe.session.Commit(command, error);
    EXPECT_TRUE(ok || !error.empty());
    return ok;
}

TEST(ProducerOverUsb, CommandsParametersAndFlashIdAgreeWithTheProducer) {
    vboard::BoardOptions options;
    options.flashId = 0x00C84017;
    options.flashChips = 2;
    ProducerPipe pipe(options);
    EXPECT_TRUE(Commit(pipe, {2, 0, 75, 87, nullptr, 0, 0}));
    EXPECT_FALSE(Commit(pipe, {2, 0, 75, 88, nullptr, 0, 0}));  // the producer checks the parameters

    T_SFLASH_PHY_INFO spi{};
    spi.chip_id = 0x00C84017;
    spi.total_size = 8 << 20;
    EXPECT_TRUE(Commit(pipe, {49, 2, 0, 0, &spi, sizeof spi, 0}));
    ASSERT_EQ(pipe.Board().Commands().back().code, 49u);
    EXPECT_EQ(pipe.Board().Commands().back().data,
              std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&spi), reinterpret_cast<uint8_t*>(&spi) + sizeof spi));

    uint32_t answer[2] = {};
    ASSERT_TRUE(Commit(pipe, {4, 1, 254, 254, answer, sizeof answer, 0}));
    EXPECT_EQ(answer[0], 0x00C84017u);
    EXPECT_EQ(answer[1], 2u);
}

TEST(ProducerOverUsb, ImageDataLandsInTheEmulatedFlash) {
    vboard::BoardOptions options;
    ProducerPipe pipe(options);
    std::vector<uint8_t> image(20000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    uint8_t start[40] = {};
    ASSERT_TRUE(Commit(pipe, {16, 2, 0, 0, start, sizeof start, 0}));
    ASSERT_TRUE(Commit(pipe, {17, 2, 0, 0, image.data(), static_cast<uint32_t>(image.size()), 0}));
    const std::vector<uint8_t>& flash = pipe.Board().Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST(ProducerOverUsb, FailureStatusFromTheProducerFailsTheCommit) {
    vboard::BoardOptions options;
    options.failCode = 111;
    ProducerPipe pipe(options);
    EXPECT_FALSE(Commit(pipe, {111, 0, 1, 0, nullptr, 0, 0}));
    EXPECT_TRUE(Commit(pipe, {57, 0, 1, 0, nullptr, 0, 0}));
}

}  // namespace
