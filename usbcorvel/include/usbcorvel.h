/* usbcorvel: the USB access library of the Kestrow station, over libusb-1.0.
 *
 * One board transaction is KW_CommitCorvel: the 31-byte command block on the
 * device's bulk-out endpoint, the data phase (if any) on bulk-in or bulk-out,
 * and an 8-byte status on bulk-in (byte 0: 0 failure, else success; bytes 4..7:
 * the command's 32-bit result, little-endian). corvel loads this library at run
 * time, so a station without it still burns over serial.
 *
 * Device paths are port locations ("usb:1-2.3": bus, then the chain of port
 * numbers) or device nodes ("/dev/bus/usb/001/007").
 */
#ifndef USBCORVEL_H
#define USBCORVEL_H

#include "corvel.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(USBCORVEL_BUILDING)
#define USBCORVEL_API __attribute__((visibility("default")))
#else
#define USBCORVEL_API
#endif

#define USBCORVEL_VERSION_MAJOR 1u
#define USBCORVEL_VERSION_MINOR 0u

/* Device arrival (arrived = 1) or removal (0), with the device's port location,
 * vendor ID and product ID. Called in order on a delivery thread of the
 * library's own, never inside libusb's event handling: the program may open
 * the device and run transactions from inside it. */
typedef void (*KW_USB_DEVICE_CHANGE)(void* context, unsigned arrived, const wchar_t* path,
                                     unsigned vendorId, unsigned productId);

/* Opens the device at `path` and claims its first interface that has a bulk-in
 * and a bulk-out endpoint. usbType is kept for the caller; the library does not
 * interpret it. Returns KW_INVALID_HANDLE on failure (see KW_GetUSBLastError). */
USBCORVEL_API KW_HANDLE KW_OpenUSB(const wchar_t* path, unsigned usbType);
/* One transaction; 1 when the block, the data phase and the status all
 * succeeded. Fills command->data for direction 1 and command->result for code 42.
 * A transaction that fails part-way (no status in time, a data phase cut off)
 * drains the device's answers and refuses every later one on this handle
 * until the device is opened again: a late status never answers the next
 * command. Erasing, formatting and partitioning get a longer status wait. */
USBCORVEL_API unsigned KW_CommitCorvel(KW_HANDLE handle, T_USB_CORVEL* command);
/* Releases and closes a device; 1, or 0 for a handle that is not open. */
USBCORVEL_API unsigned KW_CloseUSB(KW_HANDLE handle);
/* The library version (major, minor); null pointers are skipped. */
USBCORVEL_API void KW_GetUSBLibVersion(unsigned* major, unsigned* minor);
/* Reports arrivals and removals of devices with the given vendor and product
 * IDs (0 matches any) to `notify` until called again with a null `notify`.
 * A new registration replaces the previous one. 1 on success, 0 when hotplug
 * is unavailable or when called from inside `notify` (see KW_GetUSBLastError). */
USBCORVEL_API unsigned KW_RegisterDevice(KW_USB_DEVICE_CHANGE notify, void* context, unsigned vendorId,
                                         unsigned productId);
/* Why the last call on this thread failed, in words for the operator (for
 * example a missing permission on the device node); "" after a success. */
USBCORVEL_API const char* KW_GetUSBLastError(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* USBCORVEL_H */
