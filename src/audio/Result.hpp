#pragma once

// What an audio-layer call gives back: success, or a fault and a sentence saying why. Nothing in
// the layer throws to its caller.

#include <string>
#include <utility>

namespace audio {

// The kinds of failure the engine tells apart (it reports each with a number of its own).
enum class Fault {
    None,
    Warning,          // nothing failed; the call had nothing to do (stopping a stopped stream)
    Unknown,
    NoDevices,
    InvalidDevice,    // no such device, or not in that direction
    DeviceLost,       // a device a running stream used went away
    Memory,
    InvalidParameter, // a rate, period, channel count or format the back end cannot serve
    InvalidUse,       // a call out of order
    Driver,           // the server or driver refused or ended the stream
    System,           // the server is not answering, or the system refused
    Thread,
};

class [[nodiscard]] Result {
public:
    Result() = default;
    static Result failure(Fault fault, std::string reason) { return Result(fault, std::move(reason)); }

    bool ok() const { return fault_ == Fault::None; }
    explicit operator bool() const { return ok(); }
    Fault fault() const { return fault_; }
    const std::string& reason() const { return reason_; }

private:
    Result(Fault fault, std::string reason) : fault_(fault), reason_(std::move(reason)) {}

    Fault fault_{Fault::None};
    std::string reason_;
};

} // namespace audio
