#include "corvel/usb/usb_library.h"

#include "corvel/core/transfer_log.h"

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>

namespace corvel::usb {
namespace {

constexpr const char* kLibraryName = "libusbcorvel.so";

std::string DlError() {
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown error";
}

// Where to look: $KESTROW_USBCORVEL, else next to libcorvel.so, else the
// system's search path.
std::string FirstCandidate() {
    if (const char* env = std::getenv("KESTROW_USBCORVEL"); env != nullptr && *env != '\0') return env;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&FirstCandidate), &info) != 0 && info.dli_fname != nullptr) {
        std::string self = info.dli_fname;
        auto slash = self.rfind('/');
        if (slash != std::string::npos) return self.substr(0, slash + 1) + kLibraryName;
    }
    return kLibraryName;
}

bool Resolve(void* library, UsbAccess& access, std::string& why) {
    auto symbol = [&](const char* name) -> void* {
        void* address = ::dlsym(library, name);
        if (address == nullptr && why.empty()) why = std::string("the USB access library has no ") + name;
        return address;
    };
    access.OpenUSB = reinterpret_cast<decltype(access.OpenUSB)>(symbol("KW_OpenUSB"));
    access.CommitCorvel = reinterpret_cast<decltype(access.CommitCorvel)>(symbol("KW_CommitCorvel"));
    access.CloseUSB = reinterpret_cast<decltype(access.CloseUSB)>(symbol("KW_CloseUSB"));
    access.LastError = reinterpret_cast<decltype(access.LastError)>(::dlsym(library, "KW_GetUSBLastError"));
    return why.empty();
}

}  // namespace

std::string UsbAccess::Reason() const {
    const char* text = LastError != nullptr ? LastError() : nullptr;
    return text != nullptr ? text : "";
}

const UsbAccess* AccessLibrary(std::string& why) {
    static std::mutex mutex;
    static UsbAccess access{};
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (loaded) return &access;

    why.clear();
    std::string first = FirstCandidate();
    void* library = ::dlopen(first.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && first.find('/') != std::string::npos && std::getenv("KESTROW_USBCORVEL") == nullptr)
        library = ::dlopen(kLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        why = "USB is unavailable, the USB access library cannot be loaded: " + DlError();
        return nullptr;
    }
    if (!Resolve(library, access, why)) {
        ::dlclose(library);
        why = "USB is unavailable: " + why;
        return nullptr;
    }
    loaded = true;  // kept loaded for the life of the process
    return &access;
}

void CloseDevice(KW_HANDLE handle) {
    std::string why;
    if (const UsbAccess* access = AccessLibrary(why)) access->CloseUSB(handle);
    else TransferLogf("KW_CloseUSB: %s\r\n", why.c_str());
}

}  // namespace corvel::usb
