#include "effects/ParameterRange.hpp"

#include "utilities/Log.hpp"

std::optional<ParameterRange> effectParameterRange(const std::string& effect) {
    if (effect == "VolumeEffect") return ranges::kVolume;
    if (effect == "PanEffect") return ranges::kPan;
    if (effect == "EqualizerEffect") return ranges::kBandWeight;
    if (effect == "DeviceDelayEffect") return ranges::kDelay;
    if (effect == "EQEffect") return ranges::kDefault;
    if (effect == "ReverbEffect") return ranges::kReverb;
    if (effect == "EQDemoEffect") return ranges::kFiveBandGain;
    return std::nullopt;
}

std::optional<ParameterRange> filterParameterRange(const std::string& filter, const std::string& parameter) {
    if (filter != "PeakFilter") return std::nullopt;
    if (parameter == "gain") return ranges::kFilterGain;
    if (parameter == "centerFreq") return ranges::kFilterFrequency;
    if (parameter == "Q") return ranges::kFilterQ;
    return std::nullopt;
}

bool acceptsParameterValue(const std::string& owner, const std::string& parameter, float value,
                           ParameterRange range, const char* context) {
    if (range.contains(value)) return true;
    Utilities::error("Value refused: " + owner + " " + parameter + " " + std::to_string(value) + " is outside " +
                         std::to_string(range.min) + " .. " + std::to_string(range.max),
                     context, __LINE__);
    return false;
}
