#pragma once

#include "realtime/SpinLock.hpp"

#include <atomic>
#include <map>
#include <string>

// Base of every audio effect. Parameters are reached by name through a registry of unbound member
// functions, so a copy of an effect acts on itself, and code outside the effect needs no concrete type.
//
// Threads: setters and flags are written by control threads and read by the audio thread once per
// block (relaxed atomics). Effects whose process() keeps history (hasProcessingState()) must not be
// processed by two threads at once, and their copy constructors read that history: the chain runner
// brackets every process() call of such an effect with lockProcessing()/unlockProcessing() (a master
// effect runs inside every stream's callback). The guard spins, never sleeps, and is held for one
// block at most. Stateless effects may be bracketed too; it costs one uncontended atomic exchange.
// Destructors log, so effects are destroyed on control threads only.
//
// Real-time contract: prepare() runs on a control thread with the stream's format before the effect
// processes its first block, and again whenever that format changes (the stream is stopped then, or
// the effect not yet in a running chain); it makes whatever memory process() needs. process() never
// allocates, locks (beyond the processing guard), logs or calls the system. A block in a format the
// effect was not prepared for passes through unchanged rather than making room on the audio thread;
// it is counted, and the stream's snapshot writer reports the count.
struct ProcessSpec {
    unsigned sampleRate{0};
    unsigned nChannels{0};
    unsigned maxFrames{0}; // the longest block the audio library will hand over
};

class Effect {
public:
    using Setter = void (Effect::*)(float);
    using Getter = float (Effect::*)() const;

    explicit Effect(std::string name);
    virtual ~Effect();
    Effect& operator=(const Effect&) = delete;

    virtual void prepare(const ProcessSpec& /*spec*/) {}
    virtual void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept = 0;
    virtual std::string getSnapshotDump() = 0;

    // False when the effect has no such parameter, the value is outside the effect's range (NaN and
    // infinities included) or its setter refused it; the parameter then stays as it was.
    bool setEffectParameter(const std::string& parameter, float value);
    // Whether setEffectParameter would take `value` for `parameter` as far as its range goes; logs
    // the refusal. True for a parameter the effect does not have.
    bool acceptsValue(const std::string& parameter, float value) const;
    const std::map<std::string, Getter>& getGetters() const;
    std::string getName() const;

    bool isMandatory() const;
    void setIsMandatory(bool isMandatory);
    bool getEnable() const;
    void setEnable(bool enable);

    float getMinValue() const;
    float getMaxValue() const;

    // Blocks passed through unprepared since the last call; any thread.
    unsigned long takeUnpreparedBlocks() noexcept { return unpreparedBlocks.exchange(0, std::memory_order_relaxed); }

    bool hasProcessingState() const noexcept { return processingState; }
    void lockProcessing() const noexcept { processingGuard.lock(); }
    void unlockProcessing() const noexcept { processingGuard.unlock(); }

    // Holds the processing guard for a scope.
    class ProcessingScope {
    public:
        explicit ProcessingScope(const Effect& effect) noexcept : effect_(effect) { effect_.lockProcessing(); }
        ~ProcessingScope() { effect_.unlockProcessing(); }
        ProcessingScope(const ProcessingScope&) = delete;
        ProcessingScope& operator=(const ProcessingScope&) = delete;

    private:
        const Effect& effect_;
    };

protected:
    // Member-wise and silent: registry, flags, range and name are taken as they are.
    Effect(const Effect& other);

    template <typename Derived>
    void registerParameter(const std::string& parameter, void (Derived::*setter)(float)) {
        setters[parameter] = static_cast<Setter>(setter);
    }

    template <typename Derived>
    void registerParameter(const std::string& parameter, void (Derived::*setter)(float),
                           float (Derived::*getter)() const) {
        setters[parameter] = static_cast<Setter>(setter);
        getters[parameter] = static_cast<Getter>(getter);
    }

    // Audio thread: process() passes this block through, not prepared for its format.
    void countUnpreparedBlock() noexcept { unpreparedBlocks.fetch_add(1, std::memory_order_relaxed); }

    // For a setter that keeps the value it has: the change is reported as failed.
    void refuseValue() { valueRefused = true; }

    // The part every snapshot dump starts with: the name, ": " and a line break.
    std::string snapshotHeader() const;

    // For copy constructors that build their base from the name and then take the flags over.
    void copyFlagsFrom(const Effect& other);

    std::string name;
    std::map<std::string, Setter> setters;
    std::map<std::string, Getter> getters;
    std::atomic<bool> mandatory{false};
    std::atomic<bool> enabled{true};
    float minValue = -1.0f;
    float maxValue = 1.0f;
    bool processingState = false;

private:
    SpinLock processingGuard;
    std::atomic<unsigned long> unpreparedBlocks{0}; // a copy starts at none
    bool valueRefused = false; // set by a setter during setEffectParameter (control side only)
};
