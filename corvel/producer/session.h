#pragma once
// The producer as one channel sees it, over whichever transport the channel
// has: its commands, what they leave in the channel record (medium mode, flash
// parameters, NAND transfer unit, last extended parameter), and the
// procedures that write whole files into the flash.
#include "corvel/core/library.h"
#include "corvel/include/corvel.h"
#include "corvel/producer/transport.h"

#include <cstdint>

namespace corvel::producer {

// How a NAND boot loader is cut into pieces: one page per command (the serial
// link, where the producer programs as the pieces come), or the NAND transfer
// unit (USB, where one transaction carries up to 64 KiB).
enum class NandPieces { Page, TransferUnit };

// What one command carries besides its code.
struct Request {
    uint32_t param1 = 0, param2 = 0;
    const void* out = nullptr;  // data to the board ...
    DataSource source{};        // ... or pulled from here as it goes out
    void* in = nullptr;         // data from the board
    uint32_t length = 0;
    uint32_t* value = nullptr;  // the result the status carries
};

class Session {
public:
    // `caller` names the exported function in the transfer log. A session
    // without a channel (nID 0: a device handle only) runs plain commands.
    Session(unsigned nID, Transport& transport, const char* caller);

    // One command: its block, its data phase and its status. A request that
    // does not fit the command's row (a length it does not take, a missing
    // buffer) fails before anything is sent.
    bool Run(unsigned code, const Request& request = {});

    // The commands whose effects both transports share.
    bool GetFlashID(unsigned p1, unsigned p2, unsigned* id, unsigned* count);
    bool SetMode(T_MODE_CONTROL mode, unsigned mediumMode);
    bool SetNandParam(const tag_Nand_Phy_Info& info);
    bool SetSpiParam(const T_SFLASH_PHY_INFO& info);
    bool SetExParameter(unsigned value);

    // The whole-flash image, streamed from its file 64 KiB at a time: the
    // start command with the parameter block, then the data command per
    // piece. 1, 0 (a command failed), 2 (file error), 4 (an empty image).
    unsigned DownloadImage(const T_DOWNLOAD_BIN& bin, unsigned startCode, unsigned dataCode);
    // The boot loader with its header rewritten for the chip's boot ROM, in
    // the medium's pieces. 1, 0 (command failure or no medium mode), 2 (file
    // or memory error), 4 (a NAND page below 512 bytes, or no device).
    unsigned DownloadBoot(const wchar_t* path, const T_DOWNLOAD_BIN& bin, unsigned chipType, NandPieces pieces);
    // A boot loader the board takes as it stands (no header rewrite), staged
    // in the board's RAM at `ramAddress` first, so a transfer cut short never
    // leaves a half-written boot area: the RAM download (codes 36 and 37, in
    // 64 KiB pieces), then "write the client boot" (45: RAM address, length)
    // and "check the client boot" (47: length, byte sum). 1, 0 (a command
    // failed), 2 (file unreadable or empty), 4 (the RAM range passes 4 GiB).
    unsigned DownloadClientBoot(const T_DOWNLOAD_BIN& bin, uint32_t ramAddress);
    // `count` pages of the medium from page `first` into `buffer`: per piece a
    // request (52 to the board: first page, page count) and the pages (52 from
    // the board). A page is the NAND or SPI NOR page of the flash parameters
    // last sent for the medium mode; a piece is as many pages as the NAND
    // transfer unit carries, or 64 KiB of SPI NOR pages. 1, 0 (a command
    // failed), 4 (no page size known, no pages, or a buffer too small).
    unsigned UploadPages(uint32_t first, uint32_t count, uint8_t* buffer, size_t bufferSize);

private:
    unsigned nID_;
    BurnObject* ch_;
    Transport& transport_;
    const char* caller_;
};

// The channel's NAND transfer unit for page + spare bytes: the largest whole
// number of pages with their spare areas that fits in 64 KiB.
uint32_t NandTransferUnit(const tag_Nand_Phy_Info& info);

}  // namespace corvel::producer
