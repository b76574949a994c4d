#pragma once
// The virtual board's producer carried over a bulk pipe: the producer parses
// command blocks and data phases exactly as it does on the serial link, so the
// two sides agree on the block layout. Its serial per-chunk acknowledgements
// have no place on USB and are dropped; its last reply frame becomes the
// 8-byte USB status, and the data reply of a command from the board its data
// phase.
#include "tools/vboard/producer.h"
#include "usbcorvel/transaction.h"

#include <algorithm>
#include <string>
#include <vector>

namespace usbtest {

class ProducerPipe : public usbcorvel::BulkPipe {
public:
    explicit ProducerPipe(const vboard::BoardOptions& options) : producer_(options, 115200) {
        producer_.CarryOverUsb();
    }

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

}  // namespace usbtest
