#pragma once

// The numbers the engine reports the audio layer's faults under (operation results, the code of
// their log lines): 1 a warning, 2 unknown, 3 no devices, 4 invalid device, 5 device disconnect,
// 6 memory, 7 invalid parameter, 8 invalid use, 9 driver, 10 system, 11 thread; 0 none.

#include "audio/Result.hpp"

int faultCode(audio::Fault fault);

// 0 for a result that succeeded, its fault's number otherwise.
inline int resultCode(const audio::Result& result) { return faultCode(result.fault()); }
