#pragma once

#include <nlohmann/json.hpp>

#include <string>

// True when every key and value that a load reads has the shape and type the rebuild needs, so a
// load can check a whole document before it clears the engine.
bool isLoadableSession(const nlohmann::json& document);
// Why a document is not loadable ("stream entry 0, effect (VolumeEffect): ..."), or empty when it is.
std::string sessionRefusal(const nlohmann::json& document);

// The fourth top-level element (stream groups), when present.
bool isLoadableStreamGroups(const nlohmann::json& groups);
