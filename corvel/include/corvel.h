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

/* Burn entry: called on the channel's worker thread with nID; result ignored. */
typedef int (*KW_BURN_ENTRY)(unsigned nID);
/* Progress: (nID, bytes transferred so far in the current burn). */
typedef void (*KW_PROGRESS)(unsigned nID, unsigned bytes);

typedef struct {
    uint32_t event_time;    /* attach wait in seconds; 0 keeps the current value */
    uint32_t platform_type; /* 1 LINUX, 2 RTOS */
    uint32_t chip_type;     /* E_CHIP_TYPE */
} T_CORVEL_PARA;

/* ---- library frame ---- */
KW_API unsigned KW_Init(unsigned count, KW_BURN_ENTRY burnEntry, KW_PROGRESS progress);
KW_API unsigned KW_Start(void);
KW_API void KW_GetVersion(unsigned* major, unsigned* minor, unsigned* build);
KW_API unsigned KW_SetCorvelParam(unsigned unused, T_CORVEL_PARA* para);
KW_API void KW_SetEventParam(unsigned seconds);
KW_API unsigned KW_WaitUSBAttach(unsigned nID);
KW_API unsigned KW_Is_Bind_channels_flag(int value);
KW_API unsigned KW_Secuse_boot_flag(unsigned flag);
KW_API unsigned KW_DownloadImg_length(unsigned nID, unsigned bytes);
KW_API unsigned KW_set_jiggle_mode_no_vin_chg(int value);

/* ---- serial link and boot handshake (channel index, not nID) ---- */
KW_API unsigned KW_Start_Read(const wchar_t* portName, unsigned index, E_CHIP_TYPE chipType);
KW_API unsigned KW_check_secure_en(unsigned index);
KW_API unsigned KW_Choose_Baud(const wchar_t* portName, unsigned index, unsigned baud);
KW_API unsigned KW_Attach_Uart(const wchar_t* portName, unsigned linkBaud, unsigned index);
KW_API unsigned KW_ChangeCom(const wchar_t* portName, unsigned nID, unsigned baud);
KW_API unsigned KW_Detach_Uart(const wchar_t* portName);
KW_API unsigned KW_CloseUart(KW_HANDLE handle, unsigned index);

/* ---- boot ROM register writes ---- */
KW_API unsigned KW_Uart_Setvalue(unsigned nID, const char* address, const char* value);

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

#endif /* CORVEL_H */
