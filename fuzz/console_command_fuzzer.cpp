// Operator lines through the console's command table against an engine of virtual devices.

#include "FuzzEngine.hpp"

#include "console/CommandLineController.hpp"
#include "engine/Core.hpp"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& machine = fuzzing::machine();
    Core& core = machine.engine();
    {
        CommandLineController console(&core);
        // One input may hold several lines, so commands meet the state earlier ones left.
        std::string line;
        for (std::size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == '\n') {
                console.parseCommand(line);
                line.clear();
            } else {
                line += static_cast<char>(data[i]);
            }
        }
    }
    machine.reset();
    return 0;
}
