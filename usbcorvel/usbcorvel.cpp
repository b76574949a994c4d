// The five calls of the USB access library over libusb-1.0.
#include "usbcorvel.h"

#include "usbcorvel/device_changes.h"
#include "usbcorvel/device_path.h"
#include "usbcorvel/transaction.h"

#include <libusb-1.0/libusb.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <map>
#include <string>
#include <system_error>
#include <thread>

namespace usbcorvel {
namespace {

thread_local std::string g_lastError;

bool Fail(std::string why) {
    g_lastError = std::move(why);
    return false;
}

// What an export gives back when something it called threw (an allocation
// that failed): nothing may escape into the caller's C code.
template <typename Result>
Result Unexpected(const char* function, Result result) noexcept {
    try {
        Fail(std::string(function) + ": an unexpected failure (out of memory?)");
    } catch (...) {
    }
    return result;
}

std::string LibusbText(int code) { return libusb_strerror(static_cast<libusb_error>(code)); }

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += (c > 0 && c < 0x80) ? static_cast<char>(c) : '?';
    return out;
}

// One libusb context for the life of the process (the hotplug thread may still
// run while the process ends, so it is never torn down).
libusb_context* Context() {
    static std::mutex mutex;
    static libusb_context* context = nullptr;
    std::lock_guard lock(mutex);
    if (context == nullptr) {
        int rc = libusb_init(&context);
        if (rc != LIBUSB_SUCCESS) {
            context = nullptr;
            Fail("libusb cannot start: " + LibusbText(rc));
        }
    }
    return context;
}

// An open device with its claimed interface and bulk endpoints.
struct Device : BulkPipe {
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    uint8_t endpointOut = 0, endpointIn = 0;
    std::mutex transaction;  // one transaction at a time per device
    Session session{*this};  // guarded by `transaction`

    ~Device() {
        if (handle == nullptr) return;
        libusb_release_interface(handle, interfaceNumber);
        libusb_close(handle);
    }

    bool Write(const uint8_t* data, size_t size, unsigned timeoutMs, std::string& error) override {
        int sent = 0;
        int rc = libusb_bulk_transfer(handle, endpointOut, const_cast<uint8_t*>(data), static_cast<int>(size), &sent,
                                      timeoutMs);
        if (rc == LIBUSB_SUCCESS && static_cast<size_t>(sent) == size) return true;
        error = "bulk-out: " + (rc == LIBUSB_SUCCESS ? "only " + std::to_string(sent) + " of " +
                                                           std::to_string(size) + " bytes taken"
                                                     : LibusbText(rc));
        return false;
    }
    bool Read(uint8_t* data, size_t size, size_t& received, unsigned timeoutMs, std::string& error) override {
        int got = 0;
        int rc = libusb_bulk_transfer(handle, endpointIn, data, static_cast<int>(size), &got, timeoutMs);
        received = static_cast<size_t>(got);
        if (rc == LIBUSB_SUCCESS) return true;
        error = "bulk-in: " + LibusbText(rc);
        return false;
    }
    bool ClearHalts(std::string& error) override {
        int in = libusb_clear_halt(handle, endpointIn);
        int out = libusb_clear_halt(handle, endpointOut);
        if (in == LIBUSB_SUCCESS && out == LIBUSB_SUCCESS) return true;
        error = "clearing the endpoints: " + LibusbText(in != LIBUSB_SUCCESS ? in : out);
        return false;
    }
};

// Open devices by handle. A handle is a number that is never given out twice,
// so a stale or doubly closed handle can never reach another device; a
// transaction keeps its device alive while a close from another thread runs.
std::mutex g_devicesMutex;
std::map<uintptr_t, std::shared_ptr<Device>> g_devices;
uintptr_t g_nextHandle = 1;

std::shared_ptr<Device> Lookup(KW_HANDLE handle) {
    std::lock_guard lock(g_devicesMutex);
    auto it = g_devices.find(reinterpret_cast<uintptr_t>(handle));
    return it != g_devices.end() ? it->second : nullptr;
}

libusb_device* FindDevice(const DevicePath& path, libusb_device** list, ssize_t count) {
    for (ssize_t i = 0; i < count; ++i) {
        uint8_t ports[8];
        int depth = libusb_get_port_numbers(list[i], ports, sizeof ports);
        std::vector<uint8_t> chain(ports, ports + std::max(depth, 0));
        if (PathNames(path, libusb_get_bus_number(list[i]), chain, libusb_get_device_address(list[i])))
            return list[i];
    }
    return nullptr;
}

// The first interface (alternate setting 0) with a bulk-in and a bulk-out endpoint.
bool FindBulkInterface(libusb_device* usb, Device& device) {
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_active_config_descriptor(usb, &config);
    if (rc != LIBUSB_SUCCESS) return Fail("the device is not configured: " + LibusbText(rc));
    for (int i = 0; i < config->bNumInterfaces && device.interfaceNumber < 0; ++i) {
        if (config->interface[i].num_altsetting < 1) continue;
        const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
        uint8_t in = 0, out = 0;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& ep = alt.endpoint[e];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            uint8_t& slot = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) ? in : out;
            if (slot == 0) slot = ep.bEndpointAddress;
        }
        if (in != 0 && out != 0) {
            device.interfaceNumber = alt.bInterfaceNumber;
            device.endpointIn = in;
            device.endpointOut = out;
        }
    }
    libusb_free_config_descriptor(config);
    return device.interfaceNumber >= 0 || Fail("the device has no interface with bulk-in and bulk-out endpoints");
}

bool OpenAndClaim(libusb_device* usb, const std::string& name, Device& device) {
    if (!FindBulkInterface(usb, device)) return false;
    int rc = libusb_open(usb, &device.handle);
    if (rc == LIBUSB_ERROR_ACCESS)
        return Fail("no permission to open the USB device " + name +
                    "; give the station's user access to it (a udev rule for its vendor ID)");
    if (rc != LIBUSB_SUCCESS) return Fail("cannot open the USB device " + name + ": " + LibusbText(rc));
    libusb_set_auto_detach_kernel_driver(device.handle, 1);
    rc = libusb_claim_interface(device.handle, device.interfaceNumber);
    if (rc == LIBUSB_SUCCESS) return true;
    libusb_close(device.handle);
    device.handle = nullptr;
    if (rc == LIBUSB_ERROR_BUSY) return Fail("the USB device " + name + " is in use by another program");
    if (rc == LIBUSB_ERROR_ACCESS) return Fail("no permission to claim the USB device " + name);
    return Fail("cannot claim the USB device " + name + ": " + LibusbText(rc));
}

// Hotplug registration, the thread that runs libusb's events for it, and the
// delivery of the changes to the program.
struct Hotplug {
    std::mutex mutex;
    libusb_hotplug_callback_handle handle = 0;
    bool registered = false;
    std::atomic<bool> run{false};
    std::thread thread;
    ChangeDelivery delivery;
};
Hotplug& TheHotplug() {
    static Hotplug* hotplug = new Hotplug;  // outlives static destruction: its thread may still run
    return *hotplug;
}

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* usb, libusb_hotplug_event event, void* user) {
    auto& hotplug = *static_cast<Hotplug*>(user);
    libusb_device_descriptor descriptor{};
    libusb_get_device_descriptor(usb, &descriptor);
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(usb, ports, sizeof ports);
    // Only queued here: this runs inside libusb's event handling.
    hotplug.delivery.Post({event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                           FormatLocation(libusb_get_bus_number(usb),
                                          std::vector<uint8_t>(ports, ports + std::max(depth, 0))),
                           descriptor.idVendor, descriptor.idProduct});
    return 0;  // stay registered
}

void StopHotplug(Hotplug& hotplug, libusb_context* context) {
    if (hotplug.registered) libusb_hotplug_deregister_callback(context, hotplug.handle);
    hotplug.registered = false;
    hotplug.run = false;
    if (hotplug.thread.joinable()) hotplug.thread.join();
    hotplug.delivery.Stop();
}

}  // namespace
}  // namespace usbcorvel

using namespace usbcorvel;

extern "C" {

USBCORVEL_API KW_HANDLE KW_OpenUSB(const wchar_t* path, unsigned) try {
    if (path == nullptr) return Fail("no device path"), KW_INVALID_HANDLE;
    std::wstring text = path;
    std::optional<DevicePath> parsed = ParseDevicePath(text);
    if (!parsed) return Fail("\"" + Narrow(text) + "\" is no USB device path (usb:BUS-PORT.PORT...)"), KW_INVALID_HANDLE;
    libusb_context* context = Context();
    if (context == nullptr) return KW_INVALID_HANDLE;

    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return Fail("cannot list USB devices: " + LibusbText(static_cast<int>(count))), KW_INVALID_HANDLE;
    auto device = std::make_shared<Device>();
    libusb_device* usb = FindDevice(*parsed, list, count);
    bool opened = usb != nullptr ? OpenAndClaim(usb, Narrow(text), *device)
                                 : Fail("no USB device at " + Narrow(text));
    libusb_free_device_list(list, 1);
    if (!opened) return KW_INVALID_HANDLE;

    device->session.Resynchronise();
    g_lastError.clear();
    std::lock_guard lock(g_devicesMutex);
    uintptr_t handle = g_nextHandle++;
    g_devices.emplace(handle, std::move(device));
    return reinterpret_cast<KW_HANDLE>(handle);
} catch (...) {
    return Unexpected("KW_OpenUSB", KW_INVALID_HANDLE);
}

USBCORVEL_API unsigned KW_CommitCorvel(KW_HANDLE handle, T_USB_CORVEL* command) try {
    std::shared_ptr<Device> device = Lookup(handle);
    if (device == nullptr) return Fail("not an open USB device handle"), 0;
    if (command == nullptr) return Fail("no command"), 0;
    std::lock_guard lock(device->transaction);
    std::string error;
    if (!device->session.Commit(*command, error)) return Fail(error), 0;
    g_lastError.clear();
    return 1;
} catch (...) {
    return Unexpected("KW_CommitCorvel", 0u);
}

USBCORVEL_API unsigned KW_CloseUSB(KW_HANDLE handle) try {
    std::shared_ptr<Device> device;
    {
        std::lock_guard lock(g_devicesMutex);
        auto it = g_devices.find(reinterpret_cast<uintptr_t>(handle));
        if (it == g_devices.end()) return Fail("not an open USB device handle"), 0;
        device = std::move(it->second);
        g_devices.erase(it);
    }
    // The device closes when the last transaction that holds it ends.
    device.reset();
    g_lastError.clear();
    return 1;
} catch (...) {
    return Unexpected("KW_CloseUSB", 0u);
}

USBCORVEL_API void KW_GetUSBLibVersion(unsigned* major, unsigned* minor) {
    if (major != nullptr) *major = USBCORVEL_VERSION_MAJOR;
    if (minor != nullptr) *minor = USBCORVEL_VERSION_MINOR;
}

USBCORVEL_API unsigned KW_RegisterDevice(KW_USB_DEVICE_CHANGE notify, void* context, unsigned vendorId,
                                         unsigned productId) try {
    Hotplug& hotplug = TheHotplug();
    // Changing the registration waits for the delivery thread to end, which a
    // notification cannot do from that very thread.
    if (hotplug.delivery.OnDeliveryThread())
        return Fail("device notifications cannot be changed from inside a notification"), 0;
    std::lock_guard lock(hotplug.mutex);
    libusb_context* usb = Context();
    if (usb == nullptr) return 0;
    StopHotplug(hotplug, usb);
    if (notify == nullptr) return g_lastError.clear(), 1;
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return Fail("this system's libusb has no hotplug support"), 0;

    if (!hotplug.delivery.Start([notify, context](const DeviceChange& change) {
            notify(context, change.arrived ? 1u : 0u, change.location.c_str(), change.vendorId, change.productId);
        }))
        return Fail("no thread for device notifications can be started"), 0;
    int rc = libusb_hotplug_register_callback(
        usb, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), vendorId == 0 ? LIBUSB_HOTPLUG_MATCH_ANY : static_cast<int>(vendorId),
        productId == 0 ? LIBUSB_HOTPLUG_MATCH_ANY : static_cast<int>(productId), LIBUSB_HOTPLUG_MATCH_ANY, OnHotplug,
        &hotplug, &hotplug.handle);
    if (rc != LIBUSB_SUCCESS) {
        hotplug.delivery.Stop();
        return Fail("cannot watch USB devices: " + LibusbText(rc)), 0;
    }
    hotplug.registered = true;
    hotplug.run = true;
    try {
        hotplug.thread = std::thread([&hotplug, usb] {
            timeval tick{0, 200 * 1000};  // how soon a deregistration ends the thread
            while (hotplug.run.load()) libusb_handle_events_timeout_completed(usb, &tick, nullptr);
        });
    } catch (const std::system_error&) {
        StopHotplug(hotplug, usb);
        return Fail("no thread for USB events can be started"), 0;
    }
    g_lastError.clear();
    return 1;
} catch (...) {
    return Unexpected("KW_RegisterDevice", 0u);
}

USBCORVEL_API const char* KW_GetUSBLastError(void) { return g_lastError.c_str(); }

}  // extern "C"
