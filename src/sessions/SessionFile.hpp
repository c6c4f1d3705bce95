#pragma once

#include <string>

// Replaces `path` by `contents` so that a reader sees either the old file or the whole new one:
// a temporary file beside the target, flushed to disk, then renamed over it. On failure the
// temporary file is removed, the target is untouched, and false is returned.
bool replaceFileContents(const std::string& path, const std::string& contents);
