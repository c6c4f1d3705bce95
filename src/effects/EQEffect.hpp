#pragma once

#include "effects/EQFilter.hpp"
#include "effects/Effect.hpp"
#include "realtime/StateHandoff.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Parametric equalizer: an ordered list of filters run one after another, addressed by ids the effect
// hands out (never reused). The control side owns the list; each change publishes an immutable copy
// that the audio side adopts at its next block (StateHandoff), so a removed filter is destroyed on
// the control side, never by the audio thread.
class EQEffect : public Effect {
public:
    explicit EQEffect(std::string name);
    // Every filter copied in order (silent history), the id counter, the flags; the base range.
    EQEffect(const EQEffect& other);

    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    // Lists the filters the audio side runs. Takes the processing guard: not from inside a
    // lockProcessing()/unlockProcessing() bracket.
    std::string getSnapshotDump() override;

    int addFilter(const std::string& type);
    int removeFilter(unsigned id);
    int setFilterParameter(unsigned id, const std::string& parameter, float value);
    int getFilterInfo();
    std::vector<std::shared_ptr<EQFilter>> getFilters() const;

private:
    struct FilterList {
        std::vector<std::shared_ptr<EQFilter>> filters;
        FilterList* nextRetired = nullptr;
    };

    std::shared_ptr<EQFilter> findFilter(unsigned id) const;
    void publishFilters();
    void adoptPublishedFilters() noexcept;

    std::vector<std::shared_ptr<EQFilter>> filters;  // control side
    std::int32_t nextFilterId = 0;
    StateHandoff<FilterList> running;
};
