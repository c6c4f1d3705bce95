#pragma once

#include <cstddef>
#include <string>

// Replaces `path` by `contents` so that a reader sees either the old file or the whole new one:
// a temporary file beside the target, flushed to disk, then renamed over it. Only a regular file is
// replaced (or a missing one created): a device, FIFO, socket or directory at `path` is left as it
// is. A symbolic link is followed to the regular file it names, and that file is replaced; the link
// stays. On failure the temporary file is removed, the target is untouched, false is returned and
// `reason` (when given) says why.
bool replaceFileContents(const std::string& path, const std::string& contents, std::string* reason = nullptr);

// Reads the regular file at `path` whole when it holds at most `limit` bytes. Its type and size are
// checked before it is opened, and again on the open descriptor, so a FIFO or a device never blocks
// the caller and an oversized file is never read. False with `reason` set otherwise.
bool readBoundedFile(const std::string& path, std::size_t limit, std::string& contents, std::string& reason);
