#pragma once

// Comparing saved session documents.

#include <nlohmann/json.hpp>

namespace testsupport {

// Everything but the header (name and date of the save).
nlohmann::json sessionBody(nlohmann::json document);

// The document a load rebuilds from this one: equalizer filters removed before the save are
// dropped and the others renumbered from 0 in order, as the rebuilt equalizer numbers them.
nlohmann::json compactFilters(nlohmann::json document);

} // namespace testsupport
