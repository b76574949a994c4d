/* corvel: the board transfer library of the Kestrow station.
 *
 * A flat C interface. Every function is named KW_...; channels are numbered
 * 1..N (nID) except the serial handshake functions, which take the channel
 * index (nID - 1). Results: 1 (KW_SUCCESS) success, 0 failure, and for the
 * file transfers also 2 (file or transfer error) and 4 (bad argument or channel
 * not open). Names and paths are wide strings; port names are device paths
 * ("/dev/ttyUSB0", "/dev/pts/4") or "COMn", which means /dev/ttyS(n-1).
 * Records are plain little-endian structures with natural alignment; their
 * layouts are fixed below. The library reads caller records during the call only.
 * No function lets an exception out or ends the program: running out of memory
 * or threads fails the call with its failure result and a line in the
 * transfer log.
 */
#ifndef CORVEL_H
#define CORVEL_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(CORVEL_BUILDING)
#define KW_API __attribute__((visibility("default")))
#else
#define KW_API
#endif

#define KW_SUCCESS 1u
#define KW_MAX_CHANNELS 32u

/* A port or device handle; all bits set means "no handle". */
typedef void* KW_HANDLE;
#define KW_INVALID_HANDLE ((KW_HANDLE)(~(uintptr_t)0))

typedef enum {
    SOC_FB_V1 = 0,
    SOC_FA_V9 = 1,
    SOC_FA_V8 = 2,
    SOC_FA_V7 = 3,
    SOC_FB_V2 = 4,
    SOC_FA_V6 = 5,
    SOC_FA_V5 = 6,
    SOC_FA_V4 = 7,
    SOC_FC_E1 = 8,
    SOC_FA_V3 = 9,
    SOC_FA_V2 = 10,
    SOC_FA_V1 = 11,
    RESERVER = 12
} E_CHIP_TYPE;

/* Why a serial port cannot be opened (KW_Uart_PortError). */
typedef enum {
    PORT_OK = 0,
    PORT_MISSING = 1,       /* no such device: unplugged, renumbered or misspelt */
    PORT_NO_PERMISSION = 2, /* the station's user may not open it */
    PORT_IN_USE = 3,        /* held or locked by another program */
    PORT_NOT_SERIAL = 4,    /* not a terminal device */
    PORT_OPEN_FAILED = 5    /* any other reason; the detail says which */
} E_PORT_ERROR;

/* Results of KW_Uart_SelectBaud: none of them is a channel number. */
typedef enum {
    BAUD_FAILED = 0,    /* the boot ROM did not take the command; the port is closed */
    BAUD_SELECTED = 1,  /* the boot ROM took the rate */
    BAUD_NO_PROMPT = 2  /* no boot prompt seen yet: the port is left as it is */
} E_BAUD_RESULT;

/* Burn entry: called on the channel's worker thread with nID; result ignored. */
typedef int (*KW_BURN_ENTRY)(unsigned nID);
/* Progress: (nID, bytes transferred so far in the current burn). */
typedef void (*KW_PROGRESS)(unsigned nID, unsigned bytes);

typedef struct {
    uint32_t event_time;    /* attach wait in seconds; 0 keeps the current value */
    uint32_t platform_type; /* 1 LINUX, 2 RTOS */
    uint32_t chip_type;     /* E_CHIP_TYPE */
} T_CORVEL_PARA;

/* One DDR register write of a RAM table. Two addresses are markers. */
typedef struct {
    uint32_t addr;
    uint32_t value;
} T_RAM_REG;
#define KW_RAM_PAUSE 0x66668888u /* value: pause length, nothing is sent */
#define KW_RAM_END 0x88888888u   /* end of the table */

/* A framed producer command (the USB side commits the same record). */
typedef struct {
    uint32_t code;
    uint32_t direction; /* 0 none, 1 data from the board, 2 data to the board */
    uint32_t param1;
    uint32_t param2;
    void* data;
    uint32_t length;
    uint32_t result;
} T_USB_CORVEL;

/* Burn medium and mode, passed by value. */
typedef struct {
    uint8_t eMedium;
    uint8_t burn_mode;
    uint8_t erase_before_burn; /* used when burn_mode is 1 */
    uint8_t no_erase;          /* used when burn_mode is 1 */
} T_MODE_CONTROL;

/* Burned-parameter block, sent unchanged. */
typedef struct {
    uint32_t burned_mode;
    uint32_t param[5];
} T_BURNED_PARAM;

/* NAND flash parameters. The library keeps and reads 68 bytes; the first 36 travel. */
typedef struct tag_Nand_Phy_Info {
    uint32_t chip_id;
    uint16_t page_size;
    uint16_t page_per_block;
    uint16_t block_count;
    uint16_t group_block_count;
    uint16_t plane_count;
    uint16_t spare_size;
    uint8_t col_cycle;   /* 1 selects 2048-byte boot pieces */
    uint8_t lst_col_mask;
    uint8_t row_cycle;
    uint8_t delay_cnt;
    uint32_t custom_nd;
    uint32_t flag;
    uint32_t cmd_len;
    uint32_t clock;      /* NAND clock in Hz */
    uint32_t data_len;
    uint32_t reserved[7];
} tag_Nand_Phy_Info;

/* SPI NOR flash parameters, all 60 bytes travel. */
typedef struct {
    uint32_t chip_id;
    uint32_t total_size;
    uint32_t page_size;
    uint32_t program_size;
    uint32_t erase_size;
    uint32_t clock;      /* SPI clock in Hz */
    uint8_t flag;
    uint8_t protect_mask;
    uint8_t reserved;
    uint8_t boot_blocks; /* boot-area block count, or the extended parameter */
    char name[32];
} T_SFLASH_PHY_INFO;

/* A file to write into the flash. */
typedef struct {
    wchar_t path[261];
    char name[8];      /* zero-padded, e.g. "spiflash" or "UBOOT" */
    uint32_t param1;   /* forwarded */
    uint32_t length;   /* length to reserve in the flash */
    uint32_t param3;   /* forwarded */
    uint8_t flag;      /* forwarded */
} T_DOWNLOAD_BIN;

/* ==== USB transport ====
 * Boards on USB run one transaction per command through the USB access library
 * (libusbcorvel.so), which corvel loads at run time: from $KESTROW_USBCORVEL
 * when set, else next to libcorvel.so, else through the system's library
 * search. Without it the USB functions fail with a line in the transfer log
 * and the serial functions work as before. Device paths are port locations
 * ("usb:1-2.3": bus, then the chain of port numbers) or device nodes
 * ("/dev/bus/usb/001/007"). */

/* Passed on to the USB access library; 5 means "no device" and is refused. */
typedef uint32_t E_USB_TYPE;
#define KW_USB_TYPE_NONE 5u

/* Format request, sent unchanged (20 bytes). */
typedef struct {
    uint32_t word[5];
} T_FORMAT_DRIVER;

/* GPIO request, sent unchanged (8 bytes). */
typedef struct {
    uint32_t pin;
    uint32_t level;
} T_GPIO_PARAM;

/* NAND chip-select pins, sent unchanged (3 bytes). */
typedef struct {
    uint8_t ce[3];
} T_CHIP_SELECT_DATA;

/* One SPI flash partition entry (24 bytes); `size` must not be zero. */
typedef struct {
    uint32_t type;
    float size;
    uint32_t param[4];
} T_SPI_PARTITION_ENTRY;
#define KW_MAX_SPI_PARTITIONS 26u
#define KW_SPI_PARTITION_BLOCK 1024u

/* Commands: each checks nID <= N and an attached device first (0 otherwise)
 * and returns the transaction's result (1 success, 0 failure). */
/* During a burn the channel is in its speed switch (state 3) until the board
 * comes back at the new speed. */
KW_API unsigned KW_SwitchUSBHighSpeed(unsigned nID);
KW_API unsigned KW_SwitchUSBHighSpeedAsyn(unsigned nID);
KW_API unsigned KW_TestConnection(unsigned nID);
KW_API unsigned KW_SetMode(unsigned nID, T_MODE_CONTROL mode);
KW_API unsigned KW_GetFlashID(unsigned nID, unsigned p1, unsigned p2, unsigned* id, unsigned* count);
KW_API unsigned KW_SetNandParam(unsigned nID, const tag_Nand_Phy_Info* info);
KW_API unsigned KW_InitSecArea(unsigned nID, unsigned value);
KW_API unsigned KW_SetResvAreaSize(unsigned nID, unsigned value, unsigned value2);
KW_API unsigned KW_CreatePartion(unsigned nID, const void* table, unsigned length);
/* 1..26 entries; a zero size fails; without a device the result is 9. Polls the
 * board until the partitions are made unless the platform type is 2. */
KW_API unsigned KW_CreatePartion_SpiFlash(unsigned nID, const T_SPI_PARTITION_ENTRY* entries, unsigned count);
KW_API unsigned KW_FormatDriver(unsigned nID, const T_FORMAT_DRIVER* format);
KW_API unsigned KW_MountDriver(unsigned nID, const char* letters, unsigned count);
KW_API unsigned KW_SetGPIO(unsigned nID, const T_GPIO_PARAM* gpio);
KW_API unsigned KW_ResetDevice(unsigned nID);
KW_API unsigned KW_Close(unsigned nID);
KW_API unsigned KW_SetReg(KW_HANDLE device, unsigned address, unsigned value);
KW_API unsigned KW_DownloadDataToRam(unsigned nID, unsigned ramAddress, const void* data, unsigned length);
KW_API unsigned KW_GetDiskInfo(unsigned nID, void* info512);
KW_API unsigned KW_GetRegValue(unsigned nID, unsigned address, unsigned* value);
KW_API unsigned KW_GetRegValue_Handle(KW_HANDLE device, unsigned address, unsigned* value);
KW_API unsigned KW_GetRegValue_10T(unsigned nID, unsigned address, unsigned* value);
KW_API unsigned KW_SetSPIParam(unsigned nID, const T_SFLASH_PHY_INFO* info);
KW_API unsigned KW_GetFlash_HighID(unsigned nID, unsigned p1, unsigned p2, unsigned* id);
KW_API unsigned KW_GetFsStartPos(unsigned nID, unsigned* position);
KW_API unsigned KW_Set_Erase_One_Block(unsigned nID, unsigned block);
KW_API unsigned KW_Write_OTP_Serial(unsigned nID, const void* serial, unsigned length);
KW_API unsigned KW_Read_OTP_Serial(unsigned nID, void* serial, unsigned length);
KW_API unsigned KW_Set_Ex_Parameter(unsigned nID, unsigned value);
KW_API unsigned KW_Erase_Partition_Size(unsigned nID, unsigned value, unsigned value2);
KW_API unsigned KW_Check_producer(unsigned nID, unsigned value, unsigned value2);
KW_API unsigned KW_Setvalue_forupload_orspimake(unsigned nID, unsigned value);
/* Reads `length` bytes of the board's RAM at ramAddress into `buffer` (data
 * from the board); a null buffer or a zero length fails before anything is sent. */
KW_API unsigned KW_GetRamValue(unsigned nID, unsigned ramAddress, unsigned mode, void* buffer, unsigned length);
KW_API unsigned KW_SetBurnedParam(unsigned nID, const T_BURNED_PARAM* param);
KW_API unsigned KW_SetNandGpioCe(unsigned nID, const T_CHIP_SELECT_DATA* select);
/* Sends the 8-byte request, then reads `length` bytes of the secure-area file. */
KW_API unsigned KW_ReadASAFile(unsigned nID, const void* request8, void* file, unsigned length);
KW_API unsigned KW_GetMediumStruct(unsigned nID, void* medium, unsigned length);
KW_API unsigned KW_SetEraseMode(unsigned nID, unsigned value);
KW_API unsigned KW_Set_BinResvSize(unsigned nID, unsigned value);

/* Writing the flash of a USB board and reading it back: the procedures of the
 * serial boot loader and whole-flash image downloads, one transaction per
 * piece. Every data byte moved counts in the channel's progress. */
/* The boot loader with its header rewritten for chipType (code 12, then 13 per
 * piece): SPI NOR in 64 KiB pieces, NAND in pieces of the NAND transfer unit.
 * Results as KW_Uart_DownloadBoot: 1; 0 bad arguments, no medium mode set or a
 * command failed; 2 file or memory error; 4 a NAND page below 512 bytes, or no
 * device. */
KW_API unsigned KW_DownloadBoot(unsigned nID, const wchar_t* path, const T_DOWNLOAD_BIN* bin, E_CHIP_TYPE chipType);
/* The whole-flash image, streamed 64 KiB at a time (code 58 with the parameter
 * block, then 59 per piece). Results as KW_Uart_Download_spi_img: 1; 0 bad nID,
 * null record or a command failed; 2 file error; 4 no device or an empty image. */
KW_API unsigned KW_Download_spi_img(unsigned nID, const T_DOWNLOAD_BIN* bin);
/* A boot loader the board takes as it stands (no header rewrite), staged in the
 * board's RAM at ramAddress so a transfer cut short never leaves a half-written
 * boot area: code 36 (RAM address, length), 37 per 64 KiB piece, then 45 (8
 * bytes: RAM address, length) writes it into the boot area and 47 (8 bytes:
 * length, 32-bit byte sum) checks it there. 1; 0 bad nID, null record or a
 * command failed; 2 file unreadable or empty; 4 no device or a RAM range past
 * 4 GiB. */
KW_API unsigned KW_DownloadClientBoot(unsigned nID, const T_DOWNLOAD_BIN* bin, unsigned ramAddress);
/* Reads pageCount pages from page firstPage into buffer (bufferSize bytes). A
 * page is that of the flash parameters last sent for the medium mode (NAND
 * page_size, or SPI NOR page_size). Per piece (the pages the NAND transfer unit
 * carries, or 64 KiB of SPI NOR pages): code 52 with 8 bytes to the board
 * (first page, page count), then code 52 with the pages from the board. 1; 0 bad
 * nID or a command failed; 4 no device, no page size known, no pages, or a
 * buffer too small. */
KW_API unsigned KW_UploadSDPage(unsigned nID, unsigned firstPage, unsigned pageCount, void* buffer,
                                unsigned bufferSize);

/* Discovery and attachment. The USB access library's device notifications
 * (KW_RegisterDevice, usbcorvel.h) come from a thread of its own, outside
 * libusb, so a program may attach the board from inside one; changing the
 * registration from inside a notification is refused. */
KW_API unsigned KW_GetUSB_Num(unsigned productId, unsigned vendorId);
/* `drive` is a block device ("/dev/sdb1") or any path on a mounted volume. */
KW_API unsigned KW_DriverName_IsCurrentFlag(const wchar_t* drive, unsigned productId, unsigned vendorId);
/* Without binding the board takes the first free channel: one that no burn
 * holds and no device is bound to (a channel whose board left during its burn
 * is not free). In bind mode it takes the channel bound to its port location;
 * a board that comes back there during the channel's burn (after a speed
 * switch) stays that burn's. */
KW_API unsigned KW_AttachUSB(const wchar_t* path, E_USB_TYPE usbType, E_CHIP_TYPE chipType);
/* `path` may name the board by its port location or by its device node,
 * whichever it was attached by. */
KW_API unsigned KW_DetachUSB(const wchar_t* path, E_USB_TYPE usbType);

/* ---- library frame ---- */
/* Every successful call stores the callbacks it is given, so a caller may free
 * those of an earlier call; a count not above the channels already made only
 * sets N. */
KW_API unsigned KW_Init(unsigned count, KW_BURN_ENTRY burnEntry, KW_PROGRESS progress);
/* Starts every attached channel once: a second call before its burn has
 * ended does not start it again. A channel belongs to its burn until the
 * worker has closed the burn's device, with the transport it was bound with. */
KW_API unsigned KW_Start(void);
/* KW_Start for channel nID alone: wakes its worker when the channel is attached
   and not started yet; 1 when it was started, else 0. KW_Start_Read already
   marks a channel attached while its port is only watched for a prompt, so a
   station watching several ports starts each board's channel by itself. */
KW_API unsigned KW_Start_Channel(unsigned nID);
KW_API void KW_GetVersion(unsigned* major, unsigned* minor, unsigned* build);
KW_API unsigned KW_SetCorvelParam(unsigned unused, T_CORVEL_PARA* para);
KW_API void KW_SetEventParam(unsigned seconds);
/* Counts a board attached during the channel's burn only, not the attach that
 * made it ready. */
KW_API unsigned KW_WaitUSBAttach(unsigned nID);
KW_API unsigned KW_Is_Bind_channels_flag(int value);
KW_API unsigned KW_Secuse_boot_flag(unsigned flag);
KW_API unsigned KW_DownloadImg_length(unsigned nID, unsigned bytes);
KW_API unsigned KW_set_jiggle_mode_no_vin_chg(int value);

/* ---- serial link and boot handshake (channel index, not nID) ---- */
/* 0 also while the channel's last burn has not let go of it yet: the port is
 * taken in a later round. Each call also ends a RAM test that never reported. */
KW_API unsigned KW_Start_Read(const wchar_t* portName, unsigned index, E_CHIP_TYPE chipType);
KW_API unsigned KW_check_secure_en(unsigned index);
/* A selector or return the port does not take fails (0) and closes the port,
 * as a failed "baudrate" does; so does the attach's return in KW_Attach_Uart. */
KW_API unsigned KW_Choose_Baud(const wchar_t* portName, unsigned index, unsigned baud);
/* KW_Choose_Baud with results that cannot be taken for a channel number (an
   E_BAUD_RESULT): KW_Choose_Baud's nID of channel 2 is also its "no prompt
   yet". The rate chosen holds for this channel's next KW_Attach_Uart only. */
KW_API unsigned KW_Uart_SelectBaud(const wchar_t* portName, unsigned index, unsigned baud);
KW_API unsigned KW_Attach_Uart(const wchar_t* portName, unsigned linkBaud, unsigned index);
KW_API unsigned KW_ChangeCom(const wchar_t* portName, unsigned nID, unsigned baud);
KW_API unsigned KW_Detach_Uart(const wchar_t* portName);
KW_API unsigned KW_CloseUart(KW_HANDLE handle, unsigned index);
/* Why a serial port cannot be used, as an E_PORT_ERROR. With `index` below
   KW_MAX_CHANNELS: the outcome of that channel's last port open (KW_Start_Read,
   KW_Attach_Uart, KW_ChangeCom), PORT_OK after a success or before any open;
   `portName` is not used. With any larger index: a look at `portName` without
   opening it, so its modem lines stay as they are: missing, no permission, not
   a terminal device, or a UUCP lock file of another live process. `detail`
   (may be null) receives the system's words or the lock file and its process,
   cut to `detailChars` wide characters with the terminator. */
KW_API unsigned KW_Uart_PortError(const wchar_t* portName, unsigned index, wchar_t* detail, unsigned detailChars);

/* ---- boot ROM: registers, RAM tables and uploads ----
 * An upload file that cannot be read (a folder, a device, a read error) gives
 * 2 before anything is sent. */
KW_API unsigned KW_Uart_Setvalue(unsigned nID, const char* address, const char* value);
/* A table without its end marker gets one, on the wire and in the boot header
 * later written from it. A table the port does not take (the board went away
 * after "draminit") fails (0) and closes the port. */
KW_API unsigned KW_Uart_SetRamParam(unsigned nID, const T_RAM_REG* regs, unsigned count);
KW_API unsigned KW_SetRamParam_no_CommitCorvel(unsigned nID, const T_RAM_REG* regs, unsigned count);
KW_API unsigned KW_Uart_DownloadProducer(unsigned nID, const wchar_t* path, unsigned unused);
KW_API unsigned KW_DownloadProducer_uart(unsigned nID, const wchar_t* path, unsigned unused);
/* However the RAM test ends, the channel looks for boot prompts again. */
KW_API unsigned KW_Uart_DownloadRam(unsigned nID, const wchar_t* path, unsigned runAddress);
KW_API unsigned KW_Download_1k_Data_uart(unsigned nID, const wchar_t* path, unsigned unused);

/* ---- producer commands ---- */
KW_API unsigned KW_Uart_TestConnection(unsigned nID);
KW_API unsigned KW_Uart_SetMode(unsigned nID, T_MODE_CONTROL mode);
KW_API unsigned KW_Uart_GetFlashID(unsigned nID, unsigned p1, unsigned p2, unsigned* id, unsigned* count);
KW_API unsigned KW_Uart_SetNandParam(unsigned nID, const tag_Nand_Phy_Info* info);
KW_API unsigned KW_Uart_InitSecArea(unsigned nID, unsigned value);
KW_API unsigned KW_Uart_Close(unsigned nID);
KW_API unsigned KW_Uart_SetSPIParam(unsigned nID, const T_SFLASH_PHY_INFO* info);
KW_API unsigned KW_Uart_Set_Ex_Parameter(unsigned nID, unsigned value);
KW_API unsigned KW_Uart_SetBurnedParam(unsigned nID, const T_BURNED_PARAM* param);
KW_API unsigned KW_Uart_SetEraseMode(unsigned nID, unsigned value);

/* ---- boot loader and whole-flash image ---- */
KW_API unsigned KW_Uart_Download_spi_img(unsigned nID, const T_DOWNLOAD_BIN* bin);
KW_API unsigned KW_Uart_DownloadBoot(unsigned nID, const wchar_t* path, const T_DOWNLOAD_BIN* bin, E_CHIP_TYPE chipType);

#ifdef __cplusplus
} /* extern "C" */
#endif

#ifdef __cplusplus
#define CORVEL_STATIC_ASSERT static_assert
#else
#define CORVEL_STATIC_ASSERT _Static_assert
#endif
CORVEL_STATIC_ASSERT(sizeof(unsigned) == 4, "corvel needs a 32-bit unsigned");
CORVEL_STATIC_ASSERT(sizeof(T_CORVEL_PARA) == 12, "T_CORVEL_PARA layout");
CORVEL_STATIC_ASSERT(offsetof(T_CORVEL_PARA, platform_type) == 4, "T_CORVEL_PARA layout");
CORVEL_STATIC_ASSERT(offsetof(T_CORVEL_PARA, chip_type) == 8, "T_CORVEL_PARA layout");
CORVEL_STATIC_ASSERT(sizeof(E_CHIP_TYPE) == 4, "E_CHIP_TYPE travels as 32 bits");
CORVEL_STATIC_ASSERT(sizeof(T_RAM_REG) == 8, "T_RAM_REG layout");
CORVEL_STATIC_ASSERT(offsetof(T_USB_CORVEL, data) == 16, "T_USB_CORVEL layout");
CORVEL_STATIC_ASSERT(offsetof(T_USB_CORVEL, length) == 16 + sizeof(void*), "T_USB_CORVEL layout");
CORVEL_STATIC_ASSERT(sizeof(T_MODE_CONTROL) == 4, "T_MODE_CONTROL layout");
CORVEL_STATIC_ASSERT(sizeof(T_BURNED_PARAM) == 24, "T_BURNED_PARAM layout");
CORVEL_STATIC_ASSERT(sizeof(tag_Nand_Phy_Info) == 68, "tag_Nand_Phy_Info layout");
CORVEL_STATIC_ASSERT(offsetof(tag_Nand_Phy_Info, page_size) == 4, "tag_Nand_Phy_Info layout");
CORVEL_STATIC_ASSERT(offsetof(tag_Nand_Phy_Info, spare_size) == 14, "tag_Nand_Phy_Info layout");
CORVEL_STATIC_ASSERT(offsetof(tag_Nand_Phy_Info, col_cycle) == 16, "tag_Nand_Phy_Info layout");
CORVEL_STATIC_ASSERT(offsetof(tag_Nand_Phy_Info, clock) == 32, "tag_Nand_Phy_Info layout");
CORVEL_STATIC_ASSERT(sizeof(T_SFLASH_PHY_INFO) == 60, "T_SFLASH_PHY_INFO layout");
CORVEL_STATIC_ASSERT(offsetof(T_SFLASH_PHY_INFO, erase_size) == 16, "T_SFLASH_PHY_INFO layout");
CORVEL_STATIC_ASSERT(offsetof(T_SFLASH_PHY_INFO, clock) == 20, "T_SFLASH_PHY_INFO layout");
CORVEL_STATIC_ASSERT(offsetof(T_SFLASH_PHY_INFO, boot_blocks) == 27, "T_SFLASH_PHY_INFO layout");
CORVEL_STATIC_ASSERT(offsetof(T_SFLASH_PHY_INFO, name) == 28, "T_SFLASH_PHY_INFO layout");
CORVEL_STATIC_ASSERT(offsetof(T_DOWNLOAD_BIN, name) == 261 * sizeof(wchar_t), "T_DOWNLOAD_BIN layout");
CORVEL_STATIC_ASSERT(offsetof(T_DOWNLOAD_BIN, length) == 261 * sizeof(wchar_t) + 12, "T_DOWNLOAD_BIN layout");
CORVEL_STATIC_ASSERT(offsetof(T_DOWNLOAD_BIN, flag) == 261 * sizeof(wchar_t) + 20, "T_DOWNLOAD_BIN layout");
CORVEL_STATIC_ASSERT(sizeof(T_FORMAT_DRIVER) == 20, "T_FORMAT_DRIVER layout");
CORVEL_STATIC_ASSERT(sizeof(T_GPIO_PARAM) == 8, "T_GPIO_PARAM layout");
CORVEL_STATIC_ASSERT(sizeof(T_CHIP_SELECT_DATA) == 3, "T_CHIP_SELECT_DATA layout");
CORVEL_STATIC_ASSERT(sizeof(T_SPI_PARTITION_ENTRY) == 24, "T_SPI_PARTITION_ENTRY layout");
CORVEL_STATIC_ASSERT(offsetof(T_SPI_PARTITION_ENTRY, size) == 4, "T_SPI_PARTITION_ENTRY layout");

#endif /* CORVEL_H */
