#include "audio/DeferredReports.hpp"

namespace audio::detail {

DeferredReports& deferredReports() {
    static DeferredReports* instance = new DeferredReports;
    return *instance;
}

} // namespace audio::detail
