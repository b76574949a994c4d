// kestrow ports: what the station's port search finds, one line per port: its
// name, its stable by-id name, its USB identity and whether the station can
// use it (and if not, why). Nothing is opened, so listing disturbs no port.
// Exit status 0 when at least one port is usable, 1 otherwise.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/port_search.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <string>

namespace kestrow::cli {
namespace {

using engine::PortInfo;
using engine::PortState;

struct PortsOptions {
    bool json = false;
};

// The state column: what the operator can do with the port.
std::string PortStateName(const PortInfo& port) {
    switch (port.condition.state) {
        case PortState::Usable: return port.virtual_board ? "virtual board" : "usable";
        case PortState::Missing: return "missing";
        case PortState::NoPermission: return "no permission";
        case PortState::InUse: return "in use";
        case PortState::NotSerial: return "not a serial port";
        case PortState::OpenFailed: break;
    }
    return "cannot be opened";
}

std::string UsbIdentity(const PortInfo& port) {
    if (port.usb_vendor.empty()) return "";
    std::string serial = port.usb_serial.empty() ? "" : " serial " + port.usb_serial;
    return "USB " + port.usb_vendor + ":" + port.usb_product + serial;
}

void PrintPortLine(const PortInfo& port) {
    std::string line = port.name + "  " + PortStateName(port);
    std::string problem = engine::PortProblemText(port.name, port.condition);
    if (!problem.empty()) line += ": " + problem;
    if (!port.alias.empty()) line += "\n    also " + port.alias;
    if (std::string usb = UsbIdentity(port); !usb.empty()) line += "\n    " + usb;
    std::cout << line << "\n";
}

void PrintPortRecord(const PortInfo& port) {
    nlohmann::ordered_json record = {{"port", port.name},
                             {"alias", port.alias},
                             {"usb_vendor", port.usb_vendor},
                             {"usb_product", port.usb_product},
                             {"usb_serial", port.usb_serial},
                             {"state", PortStateName(port)},
                             {"problem", engine::PortProblemText(port.name, port.condition)}};
    std::cout << record.dump() << "\n";
}

int RunPorts(const PortsOptions& options) {
    engine::CorvelLink link;
    engine::SystemPorts ports(link, config::StationFolder());
    bool usable = false;
    std::vector<PortInfo> survey = ports.Survey();
    for (const PortInfo& port : survey) {
        usable = usable || port.condition.state == PortState::Usable;
        if (options.json) PrintPortRecord(port);
        else PrintPortLine(port);
    }
    std::cout << std::flush;
    if (survey.empty()) std::cerr << "kestrow ports: no serial port found\n";
    else if (!usable) std::cerr << "kestrow ports: no port can be used\n";
    return usable ? 0 : 1;
}

void SetupPortsCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<PortsOptions>();
    CLI::App* cmd = app.add_subcommand(
        "ports", "List the serial ports the station finds, with their by-id names, USB identity and state "
                 "(usable, in use, no permission, virtual board); opens none of them. Exit status 0 when "
                 "at least one is usable, 1 otherwise.");
    cmd->add_flag("--json", options->json,
                  "One JSON record per port (port, alias, usb_vendor, usb_product, usb_serial, state, problem)");
    cmd->callback([options, &context] { context.run = [options](const Context&) { return RunPorts(*options); }; });
}

CommandRegistrar portsRegistrar(SetupPortsCommand);

}  // namespace
}  // namespace kestrow::cli
