#pragma once
// Subcommands of the kestrow program register themselves here, one file each,
// so the program's entry point never needs to know them all.
#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace kestrow::cli {

struct Context {
    std::string station;  // --station DIR as given; main resolves it before `run`
    // Set by the chosen subcommand's parse callback; main calls it once the
    // station folder is known and returns its result as the exit status.
    std::function<int(const Context&)> run;
};

// Adds one subcommand (its options and its callback) to the program.
using CommandSetup = void (*)(CLI::App& app, Context& context);

std::vector<CommandSetup>& RegisteredCommands();

struct CommandRegistrar {
    explicit CommandRegistrar(CommandSetup setup) { RegisteredCommands().push_back(setup); }
};

}  // namespace kestrow::cli
