// Transactions of the access library against the virtual board's producer,
// carried over a bulk pipe: the producer parses our command blocks and data
// phases exactly as it does on the serial link, so the two sides agree on the
// block layout. Its serial per-chunk acknowledgements have no place on USB and
// are dropped; its last reply frame becomes the 8-byte USB status.
#include "tools/vboard/producer.h"
#include "usbcorvel/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

class ProducerPipe : public usbcorvel::BulkPipe {
public:
    explicit ProducerPipe(const vboard::BoardOptions& options) : producer_(options, 115200) {}

    bool Write(const uint8_t* data, size_t size, unsigned, std::string&) override {
        if (expectBlock_) {
            direction_ = data[12];
            expectBlock_ = false;
            replies_.clear();
        }
        std::string out;
        producer_.Feed(data, size, out);
        replies_ += out;
        return true;
    }
    bool Read(uint8_t* data, size_t size, size_t& received, unsigned, std::string& error) override {
        std::vector<std::string> frames = Frames();
        if (frames.empty()) {
            error = "bulk-in: timed out";
            return false;
        }
        std::string payload;
        if (direction_ == 1 && !dataSent_) {
            payload = frames.front().substr(4);  // the data reply: results from offset 4
            dataSent_ = true;
        } else {
            const std::string& status = frames.back();
            payload.assign(usbcorvel::kStatusSize, '\0');
            payload[0] = status.size() > 16 ? status[16] : 0;
            expectBlock_ = true;
            dataSent_ = false;
        }
        received = std::min(size, payload.size());
        std::copy_n(payload.begin(), received, data);
        return true;
    }
    bool ClearHalts(std::string&) override { return true; }
    const vboard::Producer& Board() const { return producer_; }
    usbcorvel::Session session{*this};

private:
    std::vector<std::string> Frames() const {
        std::vector<std::string> frames;
        for (size_t at = 0; (at = replies_.find("<DA>", at)) != std::string::npos;) {
            size_t end = replies_.find("</D>", at);
            if (end == std::string::npos) break;
            frames.push_back(replies_.substr(at + 4, end - at - 4));
            at = end + 4;
        }
        return frames;
    }

    vboard::Producer producer_;
    std::string replies_;
    bool expectBlock_ = true;
    bool dataSent_ = false;
    uint8_t direction_ = 0;
};

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
