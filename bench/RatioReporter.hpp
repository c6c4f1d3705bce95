#pragma once

#include <string>

// Benchmarks report ratios measured in one run: a subject against a floor (a plain copy of the
// same buffer, say) timed in the same process. Register the pairs; main prints each ratio of
// real time per iteration after the run.
bool registerRatio(const std::string& subject, const std::string& baseline);
