#include "effects/EQEffect.hpp"

#include "effects/EQFilterFactory.hpp"
#include "utilities/Log.hpp"

#include <algorithm>

EQEffect::EQEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("EQEffect constructor", "EQEffect", __LINE__);
    processingState = true;
}

EQEffect::EQEffect(const EQEffect& other) : Effect(other.name), nextFilterId(other.nextFilterId) {
    copyFlagsFrom(other);
    processingState = true;
    for (const auto& filter : other.filters) {
        if (auto copy = EQFilterFactory::makeDeepCopy(filter)) filters.push_back(std::move(copy));
    }
    publishFilters();
}

int EQEffect::addFilter(const std::string& type) {
    // The id is used up even when creation fails.
    const auto id = static_cast<unsigned>(nextFilterId++);
    auto filter = EQFilterFactory::createEQFilter(type, id);
    if (!filter) {
        Utilities::error("Filter not found", "addFilter", __LINE__);
        return -1;
    }
    filters.push_back(std::move(filter));
    publishFilters();
    return 0;
}

int EQEffect::removeFilter(unsigned id) {
    const auto it = std::find_if(filters.begin(), filters.end(),
                                 [id](const auto& filter) { return filter->getId() == id; });
    if (it == filters.end()) {
        Utilities::error("Filter not found", "removeFilter", __LINE__);
        return -1;
    }
    filters.erase(it);
    publishFilters();
    Utilities::success("Filter removed", "removeFilter", __LINE__);
    return 0;
}

int EQEffect::setFilterParameter(unsigned id, const std::string& parameter, float value) {
    const auto filter = findFilter(id);
    if (!filter) {
        Utilities::error("Filter not found", "setFilterParameter", __LINE__);
        return -1;
    }
    running.reclaim();
    return filter->setEffectParameter(parameter, value);
}

int EQEffect::getFilterInfo() {
    for (const auto& filter : filters) filter->getInfos();
    return 0;
}

std::vector<std::shared_ptr<EQFilter>> EQEffect::getFilters() const {
    return filters;
}

std::shared_ptr<EQFilter> EQEffect::findFilter(unsigned id) const {
    for (const auto& filter : filters)
        if (filter->getId() == id) return filter;
    return nullptr;
}

void EQEffect::publishFilters() {
    auto list = std::make_unique<FilterList>();
    list->filters = filters;
    running.publish(std::move(list));
}

void EQEffect::adoptPublishedFilters() noexcept {
    if (FilterList* published = running.takePending()) running.install(published);
}

void EQEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    adoptPublishedFilters();
    const FilterList* list = running.active();
    if (!list || list->filters.empty()) {
        if (in != out) std::copy(in, in + std::size_t(nChannels) * nFrames, out);
        return;
    }
    float* source = in;
    for (const auto& filter : list->filters) {
        filter->process(source, out, nChannels, nFrames, sampleRate);
        source = out;
    }
}

std::string EQEffect::getSnapshotDump() {
    // The audio thread spins on the guard: hold it only to copy the filters into room made before.
    std::vector<std::shared_ptr<EQFilter>> held;
    for (std::size_t room = 8;; room *= 2) {
        held.reserve(room);
        ProcessingScope guard(*this);
        adoptPublishedFilters();
        const FilterList* list = running.active();
        if (list && list->filters.size() > held.capacity()) continue;
        if (list) held.assign(list->filters.begin(), list->filters.end());
        break;
    }
    std::string dump = snapshotHeader();
    for (const auto& filter : held) dump += filter->getName() + "\n";
    return dump;
}
