#include "tests/usbcorvel/fake_usb_device.h"

#include "corvel.h"
#include "tests/usbcorvel/producer_pipe.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

struct libusb_device {
    fakeusb::Device device;
};

namespace fakeusb {
namespace {

struct State {
    std::mutex mutex;
    std::vector<Device> devices;
    OpenResult openResult = OpenResult::Ok;
    std::set<unsigned> failing;
    std::map<unsigned, unsigned> registers;
    std::map<unsigned, std::vector<uint8_t>> answers;
    std::map<unsigned, std::deque<std::vector<uint8_t>>> queued;
    std::vector<Transaction> transactions;
    std::vector<std::wstring> opened;
    std::set<uintptr_t> open;
    uintptr_t nextHandle = 0x100;
    std::optional<size_t> failAt;
    std::optional<std::pair<size_t, size_t>> cutAt;  // transaction index, bytes
    std::set<uintptr_t> outOfStep;                   // handles that refuse everything
    std::optional<vboard::BoardOptions> producerOptions;
    std::map<uintptr_t, std::unique_ptr<usbtest::ProducerPipe>> producers;
    uintptr_t lastProducer = 0;
};

// Why the last call on this thread failed.
thread_local std::string t_lastError = "simulated failure";

bool Fail(std::string why) {
    t_lastError = std::move(why);
    return false;
}

State& S() {
    static State state;
    return state;
}

}  // namespace

void Reset() {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.devices.clear();
    s.openResult = OpenResult::Ok;
    s.failing.clear();
    s.registers.clear();
    s.answers.clear();
    s.queued.clear();
    s.transactions.clear();
    s.opened.clear();
    s.open.clear();
    s.failAt.reset();
    s.cutAt.reset();
    s.outOfStep.clear();
    s.producerOptions.reset();
    s.producers.clear();
    s.lastProducer = 0;
}

void SetDevices(std::vector<Device> devices) {
    std::lock_guard lock(S().mutex);
    S().devices = std::move(devices);
}
void SetOpenResult(OpenResult result) {
    std::lock_guard lock(S().mutex);
    S().openResult = result;
}
void FailCode(unsigned code) {
    std::lock_guard lock(S().mutex);
    S().failing.insert(code);
}
void SetRegister(unsigned address, unsigned value) {
    std::lock_guard lock(S().mutex);
    S().registers[address] = value;
}
void SetAnswer(unsigned code, std::vector<uint8_t> data) {
    std::lock_guard lock(S().mutex);
    S().answers[code] = std::move(data);
}
void QueueAnswer(unsigned code, std::vector<uint8_t> data) {
    std::lock_guard lock(S().mutex);
    S().queued[code].push_back(std::move(data));
}
void FailTransaction(size_t index) {
    std::lock_guard lock(S().mutex);
    S().failAt = index;
}
void CutDataPhase(size_t index, size_t bytes) {
    std::lock_guard lock(S().mutex);
    S().cutAt = std::make_pair(index, bytes);
}
void PlayProducer(const vboard::BoardOptions& options) {
    std::lock_guard lock(S().mutex);
    S().producerOptions = options;
}
std::vector<uint8_t> ProducerFlash() {
    std::lock_guard lock(S().mutex);
    auto p = S().producers.find(S().lastProducer);
    return p == S().producers.end() ? std::vector<uint8_t>() : p->second->Board().Flash();
}
std::vector<vboard::ReceivedCommand> ProducerCommands() {
    std::lock_guard lock(S().mutex);
    auto p = S().producers.find(S().lastProducer);
    return p == S().producers.end() ? std::vector<vboard::ReceivedCommand>() : p->second->Board().Commands();
}
std::vector<Transaction> Transactions() {
    std::lock_guard lock(S().mutex);
    return S().transactions;
}
std::vector<std::wstring> OpenedPaths() {
    std::lock_guard lock(S().mutex);
    return S().opened;
}
unsigned OpenDevices() {
    std::lock_guard lock(S().mutex);
    return static_cast<unsigned>(S().open.size());
}

}  // namespace fakeusb

using namespace fakeusb;

extern "C" {

// ---- the USB access library ----

KW_HANDLE KW_OpenUSB(const wchar_t* path, unsigned) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    s.opened.push_back(path);
    if (s.openResult == OpenResult::Invalid) {
        Fail("simulated failure");
        return KW_INVALID_HANDLE;
    }
    if (s.openResult == OpenResult::Null) return nullptr;
    uintptr_t handle = s.nextHandle++;
    s.open.insert(handle);
    if (s.producerOptions) {
        s.producers[handle] = std::make_unique<usbtest::ProducerPipe>(*s.producerOptions);
        s.lastProducer = handle;
    }
    return reinterpret_cast<KW_HANDLE>(handle);
}

unsigned KW_CommitCorvel(KW_HANDLE handle, T_USB_CORVEL* command) {
    State& s = S();
    std::lock_guard lock(s.mutex);
    auto id = reinterpret_cast<uintptr_t>(handle);
    if (command == nullptr || !s.open.count(id)) return Fail("not an open device");
    if (s.outOfStep.count(id)) return Fail("an earlier transaction failed part-way; open the device again");
    size_t index = s.transactions.size();
    Transaction t{id, command->code, command->direction, command->param1, command->param2, command->length, {}};
    auto* data = static_cast<uint8_t*>(command->data);
    if (command->direction == 2 && data != nullptr) t.sent.assign(data, data + command->length);
    if (s.cutAt && s.cutAt->first == index) {
        t.sent.resize(std::min(t.sent.size(), s.cutAt->second));
        s.transactions.push_back(t);
        s.outOfStep.insert(id);
        return Fail("the data phase was cut off after " + std::to_string(s.cutAt->second) + " bytes");
    }
    s.transactions.push_back(t);
    if (s.failing.count(command->code) || s.failAt == index) return Fail("simulated failure");
    if (auto p = s.producers.find(id); p != s.producers.end()) {
        std::string error;
        return p->second->session.Commit(*command, error) ? 1 : Fail(error);
    }
    if (command->direction == 1 && data != nullptr) {
        std::vector<uint8_t> answer;
        if (auto q = s.queued.find(command->code); q != s.queued.end() && !q->second.empty()) {
            answer = q->second.front();
            q->second.pop_front();
        } else if (auto a = s.answers.find(command->code); a != s.answers.end()) {
            answer = a->second;
        }
        std::memset(data, 0, command->length);
        std::copy_n(answer.begin(), std::min<size_t>(answer.size(), command->length), data);
    }
    if (command->code == 42) command->result = s.registers[command->param1];
    return 1;
}

unsigned KW_CloseUSB(KW_HANDLE handle) {
    std::lock_guard lock(S().mutex);
    auto id = reinterpret_cast<uintptr_t>(handle);
    S().outOfStep.erase(id);
    return S().open.erase(id) ? 1 : 0;
}

const char* KW_GetUSBLastError(void) { return t_lastError.c_str(); }

void KW_GetUSBLibVersion(unsigned* major, unsigned* minor) {
    *major = 7;
    *minor = 3;
}

unsigned KW_RegisterDevice(void (*)(void*, unsigned, const wchar_t*, unsigned, unsigned), void*, unsigned, unsigned) {
    return 1;
}

// ---- the libusb calls of the device listing ----

int libusb_init(libusb_context** context) {
    static int token;
    *context = reinterpret_cast<libusb_context*>(&token);
    return LIBUSB_SUCCESS;
}

void libusb_exit(libusb_context*) {}

ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
    std::lock_guard lock(S().mutex);
    const auto& devices = S().devices;
    auto** out = new libusb_device*[devices.size() + 1];
    for (size_t i = 0; i < devices.size(); ++i) out[i] = new libusb_device{devices[i]};
    out[devices.size()] = nullptr;
    *list = out;
    return static_cast<ssize_t>(devices.size());
}

void libusb_free_device_list(libusb_device** list, int) {
    for (libusb_device** d = list; *d != nullptr; ++d) delete *d;
    delete[] list;
}

int libusb_get_device_descriptor(libusb_device* device, libusb_device_descriptor* descriptor) {
    std::memset(descriptor, 0, sizeof *descriptor);
    descriptor->idVendor = device->device.vendorId;
    descriptor->idProduct = device->device.productId;
    descriptor->bDeviceClass = device->device.deviceClass;
    return LIBUSB_SUCCESS;
}

int libusb_get_active_config_descriptor(libusb_device* device, libusb_config_descriptor** config) {
    if (!device->device.configured) return LIBUSB_ERROR_NOT_FOUND;
    *config = new libusb_config_descriptor{};
    (*config)->bConfigurationValue = 1;
    return LIBUSB_SUCCESS;
}

void libusb_free_config_descriptor(libusb_config_descriptor* config) { delete config; }

uint8_t libusb_get_bus_number(libusb_device* device) { return device->device.bus; }

uint8_t libusb_get_device_address(libusb_device* device) { return device->device.address; }

int libusb_get_port_numbers(libusb_device* device, uint8_t* ports, int size) {
    const auto& chain = device->device.ports;
    if (static_cast<int>(chain.size()) > size) return LIBUSB_ERROR_OVERFLOW;
    std::copy(chain.begin(), chain.end(), ports);
    return static_cast<int>(chain.size());
}

}  // extern "C"
