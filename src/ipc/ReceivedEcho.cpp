#include "ipc/ReceivedEcho.hpp"

#include <string>

namespace IPC {

namespace {

std::string escapedEcho(const char* bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count);
    for (std::size_t i = 0; i < count && bytes[i] != '\0'; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        // The backslash too, so the text stays unambiguous.
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            text += "\\x";
            text += kDigits[byte >> 4];
            text += kDigits[byte & 0xf];
        }
    }
    return text;
}

} // namespace

ReceivedEcho::ReceivedEcho(std::ostream& out, Clock::time_point now)
    : _out(out), _budget(kBytesPerSecond, kBurstBytes, now) {}

void ReceivedEcho::echo(const char* bytes, std::size_t count, Clock::time_point now) {
    std::string line = escapedEcho(bytes, count) + "\n";
    std::string pause;
    if (_unshownReads > 0)
        pause = "(" + std::to_string(_unshownBytes) + " bytes of received text not shown, from " +
                std::to_string(_unshownReads) + " reads: more than " +
                std::to_string(static_cast<long>(kBytesPerSecond)) + " bytes a second)\n";
    if (!_budget.takeShares(static_cast<double>(pause.size() + line.size()), now)) {
        ++_unshownReads;
        _unshownBytes += line.size();
        return;
    }
    _unshownReads = _unshownBytes = 0;
    _out << pause + line;
}

} // namespace IPC
