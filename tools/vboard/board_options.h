#pragma once
// How a virtual board behaves: its chip, its boot mode and the faults it injects.
#include <string>
#include <vector>

namespace vboard {

enum class Fault {
    Silent,    // never answers anything
    NoPrompt,  // wakes up but never prints its boot prompt
    ErrComm,   // answers the carriage return of every boot-ROM command with "Err Comm"
};

struct BoardOptions {
    unsigned chipType = 8;  // 6..11
    bool secure = false;    // boot ROM in secure mode
    std::vector<Fault> faults;

    bool Has(Fault f) const {
        for (Fault x : faults)
            if (x == f) return true;
        return false;
    }
};

// Parses a fault name as the program's --fault option takes it; false when unknown.
bool ParseFault(const std::string& name, Fault& fault);

}  // namespace vboard
