#pragma once
// How a virtual board behaves: its chip, its boot mode, its flash and the
// faults it injects.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

enum class Fault {
    Silent,    // never answers anything
    NoPrompt,  // wakes up but never prints its boot prompt
    ErrComm,   // answers the carriage return of every boot-ROM command with "Err Comm"
    BadEcho,   // never echoes the commands that load or start code (download, go, sign ...)
    Garbage,   // puts noise before every reply frame
    BadChecksum,  // sums every upload wrongly, so each one is refused with "checksum error"
    BadRam,       // the RAM test program (chip type 11) reports a RAM word that did not hold
};

struct BoardOptions {
    unsigned chipType = 8;  // 6..11
    bool secure = false;    // boot ROM in secure mode
    std::vector<Fault> faults;
    unsigned dropAckChunk = 0;   // 1-based data chunk whose acknowledgement is never sent; 0 none
    int failCode = -1;           // producer command code answered with failure; -1 none
    size_t disconnectAfter = 0;  // bytes received before the board unplugs; 0 never
    // The board unplugs when the first byte after this command line arrives
    // ("draminit": as its RAM table begins); empty: never.
    std::string unplugAfterLine;
    // The board answers one burn only: once the host has begun loading it (a
    // RAM table, an upload), waking it again gets no prompt, as if the
    // operator had taken it off the line as soon as its result showed.
    bool oneBurn = false;

    // The flash behind the producer.
    uint32_t flashId = 0x001740EF;
    bool nand = false;
    uint32_t flashSize = 4 * 1024 * 1024;
    uint32_t flashChips = 1;

    // Boards played one after another on the same port: when a burn ends (the
    // producer is closed, the host lets go of the port for good, or the host
    // wakes the board again after its burn began, as after a failure, and has
    // looked at the silent port twice more) the next board appears after a
    // short pause, in its boot ROM with a blank flash.
    unsigned boards = 1;

    bool pace = false;  // bytes cross the wire no faster than baud / 10 per second
    // Once the producer runs, take whatever rate the host sets on its port, not
    // only the link rate patched into the producer.
    bool followHostBaud = false;

    bool Has(Fault f) const {
        for (Fault x : faults)
            if (x == f) return true;
        return false;
    }
};

// Applies one --fault value ("silent", "drop-ack=3", ...) to `options`; false when unknown.
bool ApplyFault(const std::string& spec, BoardOptions& options);

}  // namespace vboard
