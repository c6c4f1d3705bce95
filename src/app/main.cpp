#include "app/MicrophonePermission.hpp"
#include "console/CommandLineController.hpp"
#include "engine/Core.hpp"
#include "audio/BackEndChoice.hpp"
#include "audio/Notices.hpp"
#include "audio/RealtimePriority.hpp"
#include "ipc/Socket.hpp"
#include "ipc/SocketPath.hpp"
#include "utilities/ExportName.hpp"
#include "utilities/Log.hpp"

#include <iostream>
#include <string>

namespace {

constexpr const char* kUsage = "usage: vantrell [--help | --version]\n";

void printHelp() {
    std::cout << kUsage
              << "\nRuns the vantrell audio engine in the foreground. Commands are read from standard input\n"
                 "(type help at the > prompt); when standard input ends the engine keeps serving its socket.\n"
                 "Front ends and vantrellctl connect to the Unix-domain socket "
              << IPC::socketPath()
              << "\n(VANTRELL_SOCKET in the environment changes it). Diagnostics are appended to\n"
                 "/tmp/vantrell_runtime.log.\n\n"
                 "Guides: /usr/share/doc/vantrell/docs/ (console.md.gz: every console command), or docs/ in\n"
                 "the source.\n\nConsole commands:\n";
    std::size_t width = 0;
    for (const auto& name : CommandLineController::commandNames()) {
        if (width + name.size() > 94) {
            std::cout << "\n";
            width = 0;
        }
        std::cout << (width ? " " : "  ") << name;
        width += name.size() + 1;
    }
    std::cout << "\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::string option = argv[1];
        if (argc == 2 && (option == "--help" || option == "-h")) {
            printHelp();
            return 0;
        }
        if (argc == 2 && option == "--version") {
            std::cout << "vantrell " VANTRELL_VERSION "\n";
            return 0;
        }
        // Anything else is a mistake: an engine is not started on a guess.
        std::cerr << "vantrell: unknown argument: " << option << "\n" << kUsage;
        return 2;
    }

    Utilities::lineBufferStandardStreams();

    if (hasMicrophonePermission()) {
        std::cout << "✅ Micro déjà autorisé" << std::endl;
    } else {
        std::cout << "🔒 Micro non autorisé, demande d'accès en cours..." << std::endl;
        requestMicrophonePermission();
    }

    audio::setNoticeListener([](const std::string& text) { Utilities::log(text); });
    const audio::BackEndChoice& backEnd = audio::chooseBackEnd();
    Utilities::log("Audio back end: " + backEnd.description);
    if (!backEnd.realtimeRefusal.empty())
        Utilities::log(audio::realtimeRefusalNotice(backEnd.realtimeRefusal));

    // Built in this order and torn down in reverse when main returns.
    Core core(backEnd.backEnd);
    core.setExportTag(Utilities::exportTag(IPC::socketPath(), IPC::kDefaultSocketPath));
    CommandLineController commandLineController(&core);
    IPC::Socket socket(&core);
    socket.startListenThread();
    commandLineController.run();
    return 0;
}
