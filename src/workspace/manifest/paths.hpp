// Path objects of walked files, made from their directory's Path the way pathlib's own
// _make_child_relpath makes them (same type, same parts), without a Python call per file
// while pathlib is still as the module found it.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

class ChildPaths {
  public:
    ChildPaths();  // looks at pathlib now: one look per walk
    // parent / name, for a name that is one path component.
    py::object child(const py::object& parent, py::handle name) const;

  private:
    bool native_ = false;
};

// Keeps what ChildPaths compares pathlib against; called once by the module body.
void capture_pathlib();

}  // namespace brivel::workspace
