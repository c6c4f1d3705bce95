#include "app/MicrophonePermission.hpp"
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
    return 0;
}
