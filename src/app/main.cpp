#include "app/MicrophonePermission.hpp"
#include "console/CommandLineController.hpp"
#include "engine/Core.hpp"
#include "ipc/Socket.hpp"
#include "utilities/Log.hpp"

#include <iostream>

int main() {
    Utilities::lineBufferStandardStreams();

    if (hasMicrophonePermission()) {
        std::cout << "✅ Micro déjà autorisé" << std::endl;
    } else {
        std::cout << "🔒 Micro non autorisé, demande d'accès en cours..." << std::endl;
        requestMicrophonePermission();
    }

    // Built in this order and torn down in reverse when main returns.
    Core core;
    CommandLineController commandLineController(&core);
    IPC::Socket socket(&core);
    socket.startListenThread();
    commandLineController.run();
    return 0;
}
