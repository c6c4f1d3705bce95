#include "app/MicrophonePermission.hpp"

#include <syslog.h>

extern "C" {

bool hasMicrophonePermission() { return true; }

void requestMicrophonePermission() {
    // Nothing to ask on Linux; the outcome goes to the system log as it would elsewhere.
    syslog(LOG_NOTICE, "%s", "✅ Microphone: autorisation présente (ou accordée maintenant)");
}

} // extern "C"
