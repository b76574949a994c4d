// Writing files into the flash of a USB board, and reading its pages back:
// the same procedures as over the serial link, in one transaction per piece.
#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/producer/session.h"
#include "corvel/usb/usb_transport.h"

using namespace corvel;
using namespace corvel::producer;
using namespace corvel::usb;

namespace {

// Runs `work` on the producer of channel `nID`, counting the data it moves
// as the channel's progress.
template <typename Work>
unsigned OnProducer(const char* caller, unsigned nID, Work work) {
    UsbTransport transport(nID, ChannelByID(nID)->hDevice.load(), caller, true);
    Session session(nID, transport, caller);
    return work(session);
}

// The channel's device is bound; else the "no device" line and false.
bool HasDevice(unsigned nID) {
    if (IsValidHandle(ChannelByID(nID)->hDevice.load())) return true;
    TransferLog("hHandle -1\r\n");
    return false;
}

}  // namespace

extern "C" {

KW_API unsigned KW_DownloadBoot(unsigned nID, const wchar_t* path, const T_DOWNLOAD_BIN* bin,
                                E_CHIP_TYPE chipType) try {
    const ChipType* chip = FindChipType(chipType);
    if (ChannelByID(nID) == nullptr || path == nullptr || bin == nullptr || (chip != nullptr && !chip->takesBootLoader)) {
        TransferLog("NULL == pstrPath\r\n");
        return 0;
    }
    return OnProducer("KW_DownloadBoot", nID, [&](Session& s) {
        return s.DownloadBoot(path, *bin, chipType, NandPieces::TransferUnit);
    });
} catch (...) {
    return ExportFailed("KW_DownloadBoot", 2u);
}

KW_API unsigned KW_Download_spi_img(unsigned nID, const T_DOWNLOAD_BIN* bin) try {
    if (bin == nullptr || ChannelByID(nID) == nullptr) return 0;
    if (!HasDevice(nID)) return 4;
    return OnProducer("KW_Download_spi_img", nID,
                      [&](Session& s) { return s.DownloadImage(*bin, kUsbImageStart, kUsbImageData); });
} catch (...) {
    return ExportFailed("KW_Download_spi_img", 2u);
}

KW_API unsigned KW_DownloadClientBoot(unsigned nID, const T_DOWNLOAD_BIN* bin, unsigned ramAddress) try {
    if (bin == nullptr || ChannelByID(nID) == nullptr) return 0;
    if (!HasDevice(nID)) return 4;
    return OnProducer("KW_DownloadClientBoot", nID, [&](Session& s) { return s.DownloadClientBoot(*bin, ramAddress); });
} catch (...) {
    return ExportFailed("KW_DownloadClientBoot", 2u);
}

KW_API unsigned KW_UploadSDPage(unsigned nID, unsigned firstPage, unsigned pageCount, void* buffer,
                                unsigned bufferSize) try {
    if (ChannelByID(nID) == nullptr) return 0;
    if (!HasDevice(nID)) return 4;
    return OnProducer("KW_UploadSDPage", nID, [&](Session& s) {
        return s.UploadPages(firstPage, pageCount, static_cast<uint8_t*>(buffer), bufferSize);
    });
} catch (...) {
    return ExportFailed("KW_UploadSDPage", 0u);
}

}  // extern "C"
