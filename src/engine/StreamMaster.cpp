// A stream's own instances of the master effects. Every stream's output passes through the master
// chain; running one set of effect objects for all of them would mix their delay lines and filter
// histories (each stream would hear the others) and make a stateful effect rebuild itself whenever
// two streams differ in rate or channels. So each stream runs copies that the engine keeps in step
// with the master effects' parameters, and only the stream's own audio thread processes them.

#include "effects/Effect.hpp"
#include "effects/EffectFactory.hpp"
#include "engine/Stream.hpp"
#include "utilities/Log.hpp"

void Stream::followMasterChain(const EffectChain& masterEffects) {
    // Copies repeat what the master effects already logged.
    Utilities::QuietScope quiet;
    decltype(masterInstances) next;
    for (const auto& master : masterEffects) {
        // An effect the stream already follows keeps its instance, and with it its state.
        std::shared_ptr<Effect> instance = masterInstanceOf(master);
        if (!instance) {
            instance = makeDeepCopy(master);
            if (instance) prepareEffect(*instance);
        }
        if (instance) next.emplace_back(master, std::move(instance));
    }
    masterInstances = std::move(next);
    EffectChain chain;
    for (const auto& entry : masterInstances) chain.push_back(entry.second);
    realtimeState.masterEffects.publish(std::move(chain));
}

std::shared_ptr<Effect> Stream::masterInstanceOf(const std::shared_ptr<Effect>& master) const {
    for (const auto& [followed, instance] : masterInstances)
        if (followed == master) return instance;
    return nullptr;
}
