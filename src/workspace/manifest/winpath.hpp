// The Windows-absolute-path lint: _is_windows_absolute, _scan_string_for_win_paths,
// detect_windows_absolute_paths, warn_windows_absolute_paths.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_windows_path_check(py::module_& m);

}  // namespace brivel::workspace
