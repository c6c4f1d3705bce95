#pragma once

#include <optional>
#include <string>

// The values a parameter accepts. The effects advertise these ranges (the parameter list a front end
// reads); every value set by name is checked against them, so what a slider offers is what the
// engine takes. NaN is never inside a range.
struct ParameterRange {
    float min;
    float max;
    bool contains(float value) const { return value >= min && value <= max; }
};

namespace ranges {
constexpr ParameterRange kVolume{0.0f, 200.0f};           // percent
constexpr ParameterRange kPan{-1.0f, 1.0f};               // full left .. full right
constexpr ParameterRange kBandWeight{-1.0f, 1.0f};        // three-band equalizer weights
constexpr ParameterRange kDelay{0.0f, 5000.0f};           // ms; sizes the delay line
constexpr ParameterRange kReverb{0.0f, 100.0f};           // percent, all three parameters
constexpr ParameterRange kFiveBandGain{-24.0f, 10.0f};    // dB
constexpr ParameterRange kDefault{-1.0f, 1.0f};           // effects without parameters of their own
constexpr ParameterRange kFilterGain{-24.0f, 24.0f};      // dB
constexpr ParameterRange kFilterFrequency{20.0f, 20000.0f}; // Hz
constexpr ParameterRange kFilterQ{0.1f, 40.0f};           // Q at or below 0 makes the filter unstable
} // namespace ranges

// The range of every parameter of the effect named `effect`; nothing for a name not in the catalogue.
std::optional<ParameterRange> effectParameterRange(const std::string& effect);
// The range of a filter parameter; nothing for an unknown filter type or parameter.
std::optional<ParameterRange> filterParameterRange(const std::string& filter, const std::string& parameter);

// True when `value` is inside `range`; otherwise logs one line naming the parameter and the range.
bool acceptsParameterValue(const std::string& owner, const std::string& parameter, float value,
                           ParameterRange range, const char* context);
