#include "engine/AudioFaults.hpp"

int faultCode(audio::Fault fault) {
    using audio::Fault;
    switch (fault) {
    case Fault::None: return 0;
    case Fault::Warning: return 1;
    case Fault::Unknown: return 2;
    case Fault::NoDevices: return 3;
    case Fault::InvalidDevice: return 4;
    case Fault::DeviceLost: return 5;
    case Fault::Memory: return 6;
    case Fault::InvalidParameter: return 7;
    case Fault::InvalidUse: return 8;
    case Fault::Driver: return 9;
    case Fault::System: return 10;
    case Fault::Thread: return 11;
    }
    return 2;
}
