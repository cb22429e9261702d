// What decides whether a profile event concerns user code, remembered while the monitor's
// instance dict, its class and its filename memo are unchanged (their version tags change
// with every change and are never reused, so a stale entry can never match). The hook then
// answers most events with a few pointer comparisons instead of dict look-ups.
#pragma once

#include <cstdint>

#include "common/py.hpp"

namespace brivel::overflow {

// The monitor fields every event of user code reads, which the cache keeps.
enum class Hot { running, call_stack, overloaded, gpu_available, threshold, gpu_threshold, cpu_usage, mem_usage,
                 gpu_util, gpu_mem_util, count };

struct FilterCache {
    PyObject* dict = nullptr;  // identity only
    std::uint64_t dict_version = 0;
    PyTypeObject* type = nullptr;  // identity only
    unsigned int type_version = 0;
    int running = -1;          // the truth of _running when it is a bool, else -1
    bool memo_usable = false;  // _is_user_code is the class's own and the memo an exact dict
    PyObject* memo = nullptr;  // borrowed from the dict while it is unchanged
    // The hot fields, borrowed from the unchanged dict; a null one is read the slow way.
    PyObject* hot[static_cast<int>(Hot::count)] = {};
    struct Entry {
        py::object filename;  // held, so that another name cannot take its address
        std::uint64_t memo_version = 0;
        int verdict = 0;
    } entries[64];
};

}  // namespace brivel::overflow
