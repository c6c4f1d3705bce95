#pragma once

#include <map>
#include <string>

// Base of the filters an EQEffect runs in sequence. Same registry pattern as Effect: unbound member
// functions, so a copy's registry acts on the copy. Filters are processed only from inside their
// EQEffect's process(), which the effect's processing guard already serialises.
class EQFilter {
public:
    using Setter = void (EQFilter::*)(float);
    using Getter = float (EQFilter::*)() const;

    EQFilter(std::string name, unsigned id);
    virtual ~EQFilter() = default;
    EQFilter& operator=(const EQFilter&) = delete;

    virtual void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept = 0;
    virtual void getInfos() = 0;

    // 0 when the parameter is registered and the value inside its range, -1 (and a log line)
    // otherwise; a refused value leaves the parameter as it was.
    int setEffectParameter(const std::string& parameter, float value);
    // Whether `value` is inside the parameter's range; logs the refusal.
    bool acceptsValue(const std::string& parameter, float value) const;
    std::string getName() const;
    unsigned getId() const;
    const std::map<std::string, Getter>& getGetters() const;

protected:
    EQFilter(const EQFilter&) = default;

    template <typename Derived>
    void registerParameter(const std::string& parameter, void (Derived::*setter)(float),
                           float (Derived::*getter)() const) {
        setters[parameter] = static_cast<Setter>(setter);
        getters[parameter] = static_cast<Getter>(getter);
    }

    std::string name;
    unsigned id;
    std::map<std::string, Setter> setters;
    std::map<std::string, Getter> getters;
};
