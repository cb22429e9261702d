// The path of an entry of a directory: the directory's path, "/", the entry's name. No
// second "/" follows a path that ends in one (such as "/"), and the empty path gives the
// name alone, as os.path.join does. Plain C++.
#pragma once

#include <string>
#include <string_view>

namespace brivel::child_path {

// What goes between `dir` and an entry's name: '/', or 0 for nothing.
inline char separator(std::string_view dir) { return dir.empty() || dir.back() == '/' ? 0 : '/'; }

// `path` becomes the path of its entry `name`.
inline void append(std::string& path, std::string_view name) {
    if (const char sep = separator(path)) path += sep;
    path += name;
}

inline std::string join(std::string_view dir, std::string_view name) {
    std::string path;
    path.reserve(dir.size() + 1 + name.size());
    path = dir;
    append(path, name);
    return path;
}

}  // namespace brivel::child_path
