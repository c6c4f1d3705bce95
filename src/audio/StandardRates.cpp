#include "audio/StandardRates.hpp"

#include <algorithm>

namespace audio::detail {

std::vector<unsigned int> ratesUpTo(unsigned int nativeRate) {
    std::vector<unsigned int> rates;
    for (unsigned int rate : {8000u, 16000u, 22050u, 32000u, 44100u, 48000u, 88200u, 96000u, 192000u})
        if (rate <= nativeRate) rates.push_back(rate);
    if (nativeRate != 0 && std::find(rates.begin(), rates.end(), nativeRate) == rates.end()) {
        rates.push_back(nativeRate);
        std::sort(rates.begin(), rates.end());
    }
    return rates;
}

} // namespace audio::detail
