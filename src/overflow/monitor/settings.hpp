// The monitor's settings as `overflow` and the monitor's constructor accept them.
#pragma once

#include "common/signature.hpp"

namespace brivel::overflow {

struct Settings {
    py::object fast, threshold, check_interval, api_key, api_url, gpu_threshold, verbose;
};

// Converts and checks, in this order, the arguments that `overflow` and the monitor's
// constructor bind under the same names: fast, threshold, check_interval, api_key,
// api_url, gpu_threshold, verbose, priority, flexible.
Settings convert_settings(const sig::Bound& a);

}  // namespace brivel::overflow
