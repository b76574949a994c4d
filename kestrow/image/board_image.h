#pragma once
// A board's own copy of a whole-flash SPI NOR image: the MAC, SEQ and BTADDR
// data partitions carry that board's addresses, written where the image's own
// partition table puts them; the image file itself is never changed.
//
// The copy is an unlinked file in a folder the station writes to, reached
// through /proc/self/fd while its object lives: nothing stays behind when the
// program ends, however it ends.
#include "kestrow/image/spi_image_inspect.h"

#include <memory>
#include <string>

namespace kestrow::image {

// Which data partitions an image's partition table holds.
struct ImageDataPartitions {
    bool mac = false, serial = false, bluetooth = false;
    bool Any() const { return mac || serial || bluetooth; }
};
inline constexpr const char* kMacPartition = "MAC";
inline constexpr const char* kSerialPartition = "SEQ";
inline constexpr const char* kBluetoothPartition = "BTADDR";

// The data partitions of the image at `path`. An image without a flash record
// or a table of this station (a raw dump, a foreign layout) has none.
ImageDataPartitions FindDataPartitions(const std::string& path);

// The texts to write; an empty one leaves its partition as the image has it.
struct BoardIdentityTexts {
    std::string mac, serial, bluetooth;
};

class BoardImage {
public:
    ~BoardImage();
    BoardImage(const BoardImage&) = delete;
    BoardImage& operator=(const BoardImage&) = delete;

    // The copy's path for as long as this object lives.
    const std::string& Path() const { return path_; }

    // Copies `imagePath` into `folder` and writes `texts` into its data
    // partitions. Nothing with a one-line reason in `error`.
    static std::unique_ptr<BoardImage> Make(const std::string& imagePath, const BoardIdentityTexts& texts,
                                            const std::string& folder, std::string& error);

private:
    explicit BoardImage(int fd);
    int fd_;
    std::string path_;
};

}  // namespace kestrow::image
