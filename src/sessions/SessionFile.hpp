#pragma once

#include <string>

// Replaces `path` by `contents` so that a reader sees either the old file or the whole new one:
// a temporary file beside the target, flushed to disk, then renamed over it. Only a regular file is
// replaced (or a missing one created): a device, FIFO, socket or directory at `path` is left as it
// is. A symbolic link is followed to the regular file it names, and that file is replaced; the link
// stays. On failure the temporary file is removed, the target is untouched, false is returned and
// `reason` (when given) says why.
bool replaceFileContents(const std::string& path, const std::string& contents, std::string* reason = nullptr);
