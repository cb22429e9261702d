// File-system names at the edge: os.fspath() of a path-like, then its bytes as
// os.fsencode() gives them, for the plain C++ file code (usable without the GIL).
// TypeError for an object that is not path-like, ValueError for an embedded NUL.
#pragma once

#include <string>

#include "common/py.hpp"

namespace brivel::fspath {

struct Encoded {
    py::object name;    // os.fspath(path): the str (or bytes) errors are reported with
    std::string bytes;  // the encoded name
    const char* c_str() const { return bytes.c_str(); }
};

Encoded encode(py::handle path);

// A path argument given as a str or any os.PathLike whose os.fspath() is a str, as
// pathlib.Path takes it: that str. TypeError naming the argument `name` otherwise.
py::str text(py::handle path, const char* name);

}  // namespace brivel::fspath
