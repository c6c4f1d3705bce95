#pragma once

// Linux has no per-application microphone permission: the permission is always present. The
// functions keep the shape of the platforms that have one, so start-up reads the same everywhere.
extern "C" {
bool hasMicrophonePermission();
void requestMicrophonePermission();
}
