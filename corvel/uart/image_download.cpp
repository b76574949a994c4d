// Writing files into the board's flash over the serial link: the whole-flash
// image (codes 16 and 17) and the boot loader (12 and 13, in NAND page pieces).
#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/producer/session.h"
#include "corvel/uart/serial_transport.h"

using namespace corvel;
using namespace corvel::producer;
using namespace corvel::uart;

extern "C" {

KW_API unsigned KW_Uart_Download_spi_img(unsigned nID, const T_DOWNLOAD_BIN* bin) try {
    BurnObject* ch = ChannelByID(nID);
    if (bin == nullptr || ch == nullptr) return 0;
    if (!IsValidHandle(ch->hDevice.load())) {
        TransferLog("hHandle -1\r\n");
        return 4;
    }
    SerialTransport transport(nID, "KW_Uart_Download_spi_img");
    return Session(nID, transport, "KW_Uart_Download_spi_img").DownloadImage(*bin, kImageStart, kImageData);
} catch (...) {
    return ExportFailed("KW_Uart_Download_spi_img", 2u);
}

KW_API unsigned KW_Uart_DownloadBoot(unsigned nID, const wchar_t* path, const T_DOWNLOAD_BIN* bin,
                                     E_CHIP_TYPE chipType) try {
    const ChipType* chip = FindChipType(chipType);
    bool refused = chip != nullptr && !chip->takesBootLoader;
    if (ChannelByID(nID) == nullptr || path == nullptr || bin == nullptr || refused) {
        TransferLog("NULL == pstrPath\r\n");
        return 0;
    }
    SerialTransport transport(nID, "KW_Uart_DownloadBoot");
    return Session(nID, transport, "KW_Uart_DownloadBoot").DownloadBoot(path, *bin, chipType, NandPieces::Page);
} catch (...) {
    return ExportFailed("KW_Uart_DownloadBoot", 2u);
}

}  // extern "C"
