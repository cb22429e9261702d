// The monitor's settings as `overflow` and the monitor's constructor accept them.
#pragma once

#include <vector>

#include "common/py.hpp"

namespace brivel::overflow {

struct Settings {
    py::object fast, threshold, check_interval, api_key, api_url, gpu_threshold, verbose;
};

// Converts and checks, in parameter order: fast, threshold, check_interval, api_key,
// api_url, gpu_threshold, verbose, priority, flexible. A null handle is the default.
Settings convert_settings(const std::vector<py::object>& a);

}  // namespace brivel::overflow
