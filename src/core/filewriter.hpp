// Whole-file writes for content that is already in memory. Plain C++ without Python
// headers: callers release the GIL around the call.
#pragma once

#include <cstddef>

namespace brivel::files {

// Creates or truncates the file at `path` (permissions 0666 less the umask, as the
// interpreter's open() makes them) and writes all `n` bytes of `data`. Returns 0 or the
// errno of the step that failed; `opened` tells whether the file was opened before it.
int write_whole(const char* path, const void* data, std::size_t n, bool& opened);

}  // namespace brivel::files
