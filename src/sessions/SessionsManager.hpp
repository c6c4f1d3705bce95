#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <memory>
#include <string>

class Core;
class Effect;
class Stream;

// Saves the engine's set-up (streams, their effect chains, the master chain) to a JSON file and
// rebuilds it from one. Short-lived: one is made per save, load or new-session request. Callers hold
// the engine lock for the whole operation.
class SessionsManager {
public:
    // A session of 40 streams takes some 50 kB: a file past this is refused before it is read, as
    // reading and parsing it would hold the engine lock and hundreds of megabytes.
    static constexpr std::size_t kMaxSessionBytes = 4u << 20;

    explicit SessionsManager(Core* core);

    // 0 when done; -1 after logging why not.
    int saveSession(const std::string& path);
    int loadSession(const std::string& path);
    void clearCurrentSession();

private:
    void createJsonObj();
    nlohmann::json getEffects(const std::shared_ptr<Stream>& stream) const;

    // Rebuilding from a document already checked by isLoadableSession.
    void restoreStreams(const nlohmann::json& streams);
    void restoreStream(const nlohmann::json& saved);
    void restoreStreamEffects(Stream& stream, const nlohmann::json& effects);
    void restoreMasterEffects(const nlohmann::json& effects);
    // The fourth top-level element, the stream groups.
    void restoreStreamGroups(const nlohmann::json& groups);
    // The device id a saved stream should use: the present device with the saved name, else the saved id.
    unsigned int resolveDevice(const nlohmann::json& saved, const char* idKey, const char* nameKey,
                               bool input) const;

    Core* core;
    std::shared_ptr<nlohmann::json> session;
};
