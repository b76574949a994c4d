#pragma once
// What the station keeps of each burn and gives each board, as the burn
// engine and the port watchers see it: the engine says when a board's burn starts, when a
// whole-flash image is about to stream to it and how the burn ended; the
// station behind this interface keeps the board's record and hands out its
// addresses. Called on the channel's burn thread; every call must be safe
// from several channels at once.
#include <cstdint>
#include <memory>
#include <string>

namespace kestrow::engine {

struct BoardStart {
    unsigned channel = 0;
    std::string port;
    std::string channel_log;
    std::string burn_file;  // resolved path
};

// The file to stream for a whole-flash image, or why nothing may be streamed.
struct ImageToStream {
    std::string path;      // the burn file itself, or a copy carrying this board's identity
    std::string refusal;   // not empty: the burn ends before anything is written, with this message
    std::shared_ptr<void> copy;  // keeps the copy while the image streams
};

struct BoardEnd {
    bool passed = false;
    unsigned status = 0;  // the last status posted
    std::uint64_t bytes = 0;
    std::uint32_t flash_id = 0;
};

class BurnRecorder {
public:
    virtual ~BurnRecorder() = default;
    // Asked by a port's watcher before it looks for a board: "" when a board
    // may be taken now, else why not (the port waits and asks again).
    virtual std::string MayTakeBoard() = 0;
    // Before anything is sent to the board. A non-empty result refuses the
    // board (no record could be kept): the burn fails with that message.
    virtual std::string BoardStarts(const BoardStart& start) = 0;
    // The whole-flash image `imagePath` is about to stream to the channel's board.
    virtual ImageToStream ImageStarts(unsigned channel, const std::string& imagePath) = 0;
    // After the result status was posted; once per BoardStarts that was not refused.
    virtual void BoardEnds(unsigned channel, const BoardEnd& end) = 0;
};

}  // namespace kestrow::engine
