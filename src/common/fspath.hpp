// A path argument converted the way the interpreter's open() converts it.
#pragma once

#include "common/py.hpp"

namespace brivel {

struct FsPath {
    py::object name;    // os.fspath(path), str or bytes: what OSError reports as filename
    py::bytes encoded;  // file-system encoding of `name`, for the C library
    const char* c_str() const { return PyBytes_AS_STRING(encoded.ptr()); }
};

// TypeError for an object that is not path-like, ValueError for an embedded NUL.
FsPath fs_path(py::handle path);

}  // namespace brivel
