#include "corvel/usb/usb_enumeration.h"

#include "usbcorvel/device_path.h"

#include <libusb-1.0/libusb.h>

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace corvel::usb {
namespace {

// The few libusb calls the device listing needs.
struct Libusb {
    decltype(&libusb_init) init;
    decltype(&libusb_exit) exit;
    decltype(&libusb_get_device_list) getDeviceList;
    decltype(&libusb_free_device_list) freeDeviceList;
    decltype(&libusb_get_device_descriptor) getDeviceDescriptor;
    decltype(&libusb_get_active_config_descriptor) getActiveConfigDescriptor;
    decltype(&libusb_free_config_descriptor) freeConfigDescriptor;
    decltype(&libusb_get_bus_number) getBusNumber;
    decltype(&libusb_get_port_numbers) getPortNumbers;
    decltype(&libusb_get_device_address) getDeviceAddress;
};

template <typename F>
bool Bind(void* library, const char* name, F& slot, std::string& why) {
    slot = reinterpret_cast<F>(::dlsym(library, name));
    if (slot == nullptr && why.empty()) why = std::string("libusb has no ") + name;
    return slot != nullptr;
}

const Libusb* LoadLibusb(std::string& why) {
    static std::mutex mutex;
    static Libusb calls{};
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (loaded) return &calls;
    const char* env = std::getenv("KESTROW_LIBUSB");
    std::string name = (env != nullptr && *env != '\0') ? env : "libusb-1.0.so.0";
    void* library = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        why = "USB devices cannot be listed, libusb cannot be loaded: " + std::string(error ? error : name);
        return nullptr;
    }
    why.clear();
    bool ok = Bind(library, "libusb_init", calls.init, why) && Bind(library, "libusb_exit", calls.exit, why) &&
              Bind(library, "libusb_get_device_list", calls.getDeviceList, why) &&
              Bind(library, "libusb_free_device_list", calls.freeDeviceList, why) &&
              Bind(library, "libusb_get_device_descriptor", calls.getDeviceDescriptor, why) &&
              Bind(library, "libusb_get_active_config_descriptor", calls.getActiveConfigDescriptor, why) &&
              Bind(library, "libusb_free_config_descriptor", calls.freeConfigDescriptor, why) &&
              Bind(library, "libusb_get_bus_number", calls.getBusNumber, why) &&
              Bind(library, "libusb_get_port_numbers", calls.getPortNumbers, why) &&
              Bind(library, "libusb_get_device_address", calls.getDeviceAddress, why);
    if (!ok) {
        ::dlclose(library);
        return nullptr;
    }
    loaded = true;
    return &calls;
}

UsbDeviceRecord Describe(const Libusb& usb, libusb_device* device) {
    UsbDeviceRecord record;
    record.bus = usb.getBusNumber(device);
    record.address = usb.getDeviceAddress(device);
    uint8_t ports[8];
    int depth = usb.getPortNumbers(device, ports, sizeof ports);
    if (depth > 0) record.ports.assign(ports, ports + depth);
    libusb_device_descriptor descriptor{};
    if (usb.getDeviceDescriptor(device, &descriptor) == LIBUSB_SUCCESS) {
        record.vendorId = descriptor.idVendor;
        record.productId = descriptor.idProduct;
        record.deviceClass = descriptor.bDeviceClass;
    }
    // An unconfigured device has no active configuration.
    libusb_config_descriptor* config = nullptr;
    if (usb.getActiveConfigDescriptor(device, &config) == LIBUSB_SUCCESS && config != nullptr) {
        record.configured = config->bConfigurationValue != 0;
        usb.freeConfigDescriptor(config);
    }
    return record;
}

}  // namespace

std::wstring UsbDeviceRecord::Location() const { return usbcorvel::FormatLocation(bus, ports); }

std::optional<std::vector<UsbDeviceRecord>> ListUsbDevices(std::string& why) {
    const Libusb* usb = LoadLibusb(why);
    if (usb == nullptr) return std::nullopt;
    libusb_context* context = nullptr;
    if (int rc = usb->init(&context); rc != LIBUSB_SUCCESS) {
        why = "USB devices cannot be listed, libusb does not start (error " + std::to_string(rc) + ")";
        return std::nullopt;
    }
    libusb_device** list = nullptr;
    ssize_t count = usb->getDeviceList(context, &list);
    std::optional<std::vector<UsbDeviceRecord>> devices;
    if (count < 0) {
        why = "USB devices cannot be listed (libusb error " + std::to_string(count) + ")";
    } else {
        devices.emplace();
        for (ssize_t i = 0; i < count; ++i) devices->push_back(Describe(*usb, list[i]));
        usb->freeDeviceList(list, 1);
    }
    usb->exit(context);
    return devices;
}

std::string UsbDeviceOfBlock(const std::string& sysRoot, unsigned major, unsigned minor) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path link = fs::path(sysRoot) / "dev" / "block" / (std::to_string(major) + ":" + std::to_string(minor));
    fs::path folder = fs::canonical(link, error);
    if (error) return {};
    fs::path root = fs::canonical(sysRoot, error);
    if (error) return {};
    // Walk up from the block device to the first folder that is a USB device
    // (it has a vendor ID and a bus number; its interfaces have neither).
    for (; folder != root && folder.has_relative_path(); folder = folder.parent_path()) {
        if (fs::exists(folder / "idVendor", error) && fs::exists(folder / "busnum", error)) return folder.string();
    }
    return {};
}

std::optional<uint16_t> ReadSysfsId(const std::string& deviceFolder, const char* name) {
    std::ifstream in(std::filesystem::path(deviceFolder) / name);
    std::string text;
    if (!(in >> text) || text.empty() || text.size() > 4) return std::nullopt;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    return static_cast<uint16_t>(value);
}

}  // namespace corvel::usb
