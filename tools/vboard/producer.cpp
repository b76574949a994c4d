#include "tools/vboard/producer.h"

#include <algorithm>
#include <utility>

namespace vboard {
namespace {

constexpr size_t kBlockSize = 31;
constexpr size_t kStatusPayload = 32;
constexpr size_t kParamBlock = 40;

uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

std::string Word(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

// Data-phase lengths the producer insists on.
size_t ExpectedLength(unsigned code) {
    switch (code) {
        case 5: return 36;
        case 12: case 16: case 58: return kParamBlock;
        case 45: case 47: return 8;
        case 49: return 60;
        case 104: return 24;
        default: return 0;  // any length
    }
}

}  // namespace

std::vector<uint8_t> BlankFlash(const BoardOptions& options) { return std::vector<uint8_t>(options.flashSize, 0xFF); }

Producer::Producer(const BoardOptions& options, unsigned linkBaud) : Producer(options, linkBaud, BlankFlash(options)) {}

Producer::Producer(const BoardOptions& options, unsigned linkBaud, std::vector<uint8_t> blankFlash)
    : options_(options), chunk_(linkBaud == 115200 ? 8192 : 16384), flash_(std::move(blankFlash)) {}

void Producer::Frame(const std::string& payload, std::string& out) {
    if (options_.Has(Fault::Garbage)) out += "\r\n#noise</D>#";
    out += "<DA>" + payload + "</D>";
}

void Producer::Status(bool ok, std::string& out) {
    std::string payload(kStatusPayload, '\0');
    payload[16] = ok ? 1 : 0;
    Frame(payload, out);
}

bool Producer::Write(uint32_t offset, const std::vector<uint8_t>& bytes) {
    if (offset > flash_.size() || bytes.size() > flash_.size() - offset) return false;  // beyond the flash
    std::copy(bytes.begin(), bytes.end(), flash_.begin() + offset);
    return true;
}

void Producer::Feed(const uint8_t* data, size_t size, std::string& out) {
    for (size_t i = 0; i < size;) {
        if (!inData_) {
            size_t n = std::min(kBlockSize - block_.size(), size - i);
            block_.insert(block_.end(), data + i, data + i + n);
            i += n;
            if (block_.size() == kBlockSize) OnBlock(out);
            continue;
        }
        size_t n = std::min<size_t>(current_.length - current_.data.size(), size - i);
        size_t before = current_.data.size();
        current_.data.insert(current_.data.end(), data + i, data + i + n);
        i += n;
        // Acknowledge each full chunk that is not the last one.
        size_t full = current_.data.size() / chunk_;
        for (size_t k = before / chunk_; k < full && (k + 1) * chunk_ < current_.length; ++k) {
            ++chunksSeen_;
            if (chunksSeen_ != options_.dropAckChunk) Status(true, out);
        }
        if (current_.data.size() == current_.length) {
            inData_ = false;
            OnData(out);
        }
    }
}

void Producer::OnBlock(std::string& out) {
    current_ = ReceivedCommand{block_[16], block_[12], LE32(&block_[8]), LE32(&block_[20]), LE32(&block_[24]), {}};
    block_.clear();
    if (current_.direction == 2 && current_.length > 0) {
        inData_ = true;
        chunksSeen_ = 0;
        return;
    }
    OnData(out);
}

bool Producer::OnRamData(const ReceivedCommand& c) {
    if (c.param1 < ramBase_ || c.param1 - ramBase_ > ram_.size() || c.data.size() > ram_.size() - (c.param1 - ramBase_))
        return false;  // outside what the start command announced
    std::copy(c.data.begin(), c.data.end(), ram_.begin() + (c.param1 - ramBase_));
    return true;
}

// A client boot image is written from RAM into the boot area as it stands.
bool Producer::OnClientBootWrite(const ReceivedCommand& c) {
    uint32_t address = LE32(&c.data[0]), length = LE32(&c.data[4]);
    if (address != ramBase_ || length == 0 || length > ram_.size()) return false;
    return Write(0, std::vector<uint8_t>(ram_.begin(), ram_.begin() + length));
}

// The boot area read back must give the host's length and byte sum.
bool Producer::OnClientBootCheck(const ReceivedCommand& c) const {
    uint32_t length = LE32(&c.data[0]), sum = LE32(&c.data[4]);
    if (length > flash_.size()) return false;
    uint32_t actual = 0;
    for (uint32_t i = 0; i < length; ++i) actual += flash_[i];
    return actual == sum;
}

// Pages of the medium: a request (first page, page count), then the pages.
bool Producer::OnUploadPages(const ReceivedCommand& c, std::string& out) {
    uint32_t page = options_.nand ? nandPage_ : spiPage_;
    if (c.direction == 2) {
        if (c.data.size() != 8 || page == 0) return false;
        uploadFirst_ = LE32(&c.data[0]);
        uploadCount_ = LE32(&c.data[4]);
        uint64_t end = (uint64_t{uploadFirst_} + uploadCount_) * page;
        if (uploadCount_ == 0 || end > flash_.size()) uploadCount_ = 0;
        return uploadCount_ != 0;
    }
    if (c.direction != 1 || uploadCount_ == 0 || c.length != uploadCount_ * page) return false;
    auto from = flash_.begin() + static_cast<long>(uploadFirst_) * page;
    Frame(Word(0) + std::string(from, from + c.length), out);
    uploadCount_ = 0;
    return true;
}

void Producer::OnData(std::string& out) {
    const ReceivedCommand& c = current_;
    commands_.push_back(c);
    bool ok = static_cast<int>(c.code) != options_.failCode;
    size_t expected = ExpectedLength(c.code);
    if (expected != 0 && c.data.size() != expected) ok = false;
    switch (c.code) {
        case 2:
            ok = ok && c.param1 == 75 && c.param2 == 87;
            break;
        case 4:  // the ID goes out even when the status will report failure
            Frame(Word(0) + Word(options_.flashId) + Word(options_.flashChips), out);
            break;
        case 12:
            bootOffset_ = 0;
            break;
        case 5:
            if (ok) {
                nandPage_ = c.data[4] | c.data[5] << 8;
                uint32_t withSpare = nandPage_ + (c.data[14] | c.data[15] << 8);
                nandUnit_ = withSpare == 0 ? 0 : withSpare * (65536 / withSpare);
            }
            break;
        case 13:
            // A NAND producer programs page by page: it needs the page size first,
            // and no piece may span more than one page (over USB, more than one
            // transfer unit).
            if (options_.nand && (nandPage_ == 0 || c.data.size() > (usb_ ? nandUnit_ : nandPage_))) ok = false;
            ok = ok && Write(bootOffset_, c.data);
            if (ok) bootOffset_ += static_cast<uint32_t>(c.data.size());
            break;
        case 16: case 58:
            imageOffset_ = 0;
            break;
        case 17: case 59:
            ok = ok && Write(imageOffset_, c.data);
            if (ok) imageOffset_ += static_cast<uint32_t>(c.data.size());
            break;
        case 34:
            closed_ = true;
            break;
        case 36:  // RAM download start: address, length
            ramBase_ = c.param1;
            ram_.assign(c.param2, 0);
            break;
        case 37:
            ok = ok && OnRamData(c);
            break;
        case 45:
            ok = ok && OnClientBootWrite(c);
            break;
        case 47:
            ok = ok && OnClientBootCheck(c);
            break;
        case 49:
            if (ok) spiPage_ = LE32(&c.data[8]);
            break;
        case 52:
            ok = ok && OnUploadPages(c, out);
            break;
        case 3: case 7: case 35: case 57: case 104: case 111:
            break;
        default:
            ok = false;  // a command this producer does not know
    }
    Status(ok, out);
}

}  // namespace vboard
