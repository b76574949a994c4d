#pragma once
// Loads the USB access library at run time, for corvel (which drives boards
// through it) and for the program (its version in the about box, device-change
// notifications). Looked for at $KESTROW_USBCORVEL when set, else next to
// libcorvel.so, else through the system's library search. A station without it
// keeps running its serial channels.
#include "usbcorvel/include/usbcorvel.h"

#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <string>

namespace usbcorvel {

struct AccessCalls {
    decltype(&KW_OpenUSB) OpenUSB = nullptr;
    decltype(&KW_CommitCorvel) CommitCorvel = nullptr;
    decltype(&KW_CloseUSB) CloseUSB = nullptr;
    decltype(&KW_GetUSBLibVersion) GetUSBLibVersion = nullptr;
    decltype(&KW_RegisterDevice) RegisterDevice = nullptr;
    decltype(&KW_GetUSBLastError) LastError = nullptr;  // optional

    // Why the library's last call failed, or "" when it does not say.
    std::string Reason() const {
        const char* text = LastError != nullptr ? LastError() : nullptr;
        return text != nullptr ? text : "";
    }
};

// Its SONAME: the name the library is installed under, and a link beside it in the build.
constexpr const char* kAccessLibraryName = "libusbcorvel.so.1";

namespace detail {

inline std::string NextToCorvel() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&KW_GetVersion), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string corvel = info.dli_fname;
    auto slash = corvel.rfind('/');
    return slash == std::string::npos ? std::string() : corvel.substr(0, slash + 1) + kAccessLibraryName;
}

inline void* Open(std::string& why) {
    if (const char* env = std::getenv("KESTROW_USBCORVEL"); env != nullptr && *env != '\0') {
        void* library = ::dlopen(env, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) why = ::dlerror();
        return library;
    }
    std::string beside = NextToCorvel();
    void* library = beside.empty() ? nullptr : ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) library = ::dlopen(kAccessLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) why = ::dlerror();
    return library;
}

template <typename F>
bool Bind(void* library, const char* name, F& slot, std::string& why) {
    slot = reinterpret_cast<F>(::dlsym(library, name));
    if (slot == nullptr) why = std::string("it has no ") + name;
    return slot != nullptr;
}

}  // namespace detail

// The loaded library, or nullptr with the reason in `why`. A failed load is
// tried again on the next call, so installing the library needs no restart;
// a loaded one stays for the life of the process.
inline const AccessCalls* LoadAccessLibrary(std::string& why) {
    static std::mutex mutex;
    static AccessCalls calls;
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (loaded) return &calls;
    why.clear();
    void* library = detail::Open(why);
    if (library == nullptr) {
        why = "USB is unavailable, the USB access library cannot be loaded: " + why;
        return nullptr;
    }
    bool complete = detail::Bind(library, "KW_OpenUSB", calls.OpenUSB, why) &&
                    detail::Bind(library, "KW_CommitCorvel", calls.CommitCorvel, why) &&
                    detail::Bind(library, "KW_CloseUSB", calls.CloseUSB, why) &&
                    detail::Bind(library, "KW_GetUSBLibVersion", calls.GetUSBLibVersion, why) &&
                    detail::Bind(library, "KW_RegisterDevice", calls.RegisterDevice, why);
    if (!complete) {
        ::dlclose(library);
        why = "USB is unavailable, the USB access library is incomplete: " + why;
        return nullptr;
    }
    calls.LastError = reinterpret_cast<decltype(calls.LastError)>(::dlsym(library, "KW_GetUSBLastError"));
    loaded = true;
    return &calls;
}

}  // namespace usbcorvel
