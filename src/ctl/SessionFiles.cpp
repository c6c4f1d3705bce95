#include "ctl/SessionFiles.hpp"

#include "ctl/Failure.hpp"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace Ctl {

std::string absoluteSessionPath(const std::string& path) {
    return std::filesystem::absolute(path).lexically_normal();
}

FileStamp stampOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};
    return {true, info.st_ino, info.st_mtim};
}

void checkSessionFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw Failure(kRefused, "cannot read " + path);
    const auto document = nlohmann::json::parse(file, nullptr, false);
    if (document.is_discarded() || !document.is_array() || document.size() < 3)
        throw Failure(kRefused, "not a session file: " + path);
}

} // namespace Ctl
