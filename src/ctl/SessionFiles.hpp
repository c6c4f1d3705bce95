#pragma once

#include <string>
#include <sys/stat.h>

// What the client checks of session files itself: the engine answers a refused save or load as it
// answers a good one.
namespace Ctl {

// The engine resolves a relative path against its own working directory, not the caller's.
std::string absoluteSessionPath(const std::string& path);

struct FileStamp {
    bool exists{false};
    ino_t inode{0};
    timespec modified{};
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && inode == o.inode && modified.tv_sec == o.modified.tv_sec &&
               modified.tv_nsec == o.modified.tv_nsec;
    }
};

// The engine writes a new file and renames it over the old one: a save changes the stamp.
FileStamp stampOf(const std::string& path);
// Throws Failure(kRefused) unless `path` can be read and has a session file's outline.
void checkSessionFile(const std::string& path);

} // namespace Ctl
