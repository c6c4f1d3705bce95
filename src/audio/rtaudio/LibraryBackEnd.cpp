#include "audio/rtaudio/LibraryBackEnd.hpp"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <mutex>
#include <vector>

namespace audio::detail {

namespace {

void silentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}
void silentJackHandler(const char*) {}

// Probing ALSA on a machine without cards, or JACK without a server, prints pages of diagnostics
// that mean nothing to the user; every failure we care about reaches the error callback anyway.
void silenceBackEnds() {
    snd_lib_error_set_handler(&silentAlsaHandler);
    jack_set_error_function(&silentJackHandler);
    jack_set_info_function(&silentJackHandler);
}

} // namespace

::RtAudio::Api processApi() {
    static std::once_flag once;
    static ::RtAudio::Api chosen = ::RtAudio::UNSPECIFIED;
    std::call_once(once, [] {
        silenceBackEnds();
        std::vector<::RtAudio::Api> apis;
        ::RtAudio::getCompiledApi(apis);
        for (::RtAudio::Api api : apis) {
            try {
                ::RtAudio probe(api);
                probe.showWarnings(false);
                if (probe.getDeviceCount() > 0) {
                    chosen = api;
                    return;
                }
            } catch (...) {
                // An API that cannot even be asked is as good as one without devices.
            }
        }
        if (!apis.empty()) chosen = apis.front();
    });
    return chosen;
}

} // namespace audio::detail
