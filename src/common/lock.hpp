// Holding a Python lock (threading.Lock or RLock) for one C++ scope.
#pragma once

#include <utility>

#include "common/py.hpp"

namespace brivel {

// Holds a threading.Lock for one scope. acquire() waits with the GIL released.
class LockHold {
  public:
    explicit LockHold(py::object lock) : lock_(std::move(lock)) { lock_.attr("acquire")(); }
    ~LockHold() {
        try {
            lock_.attr("release")();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable(__func__);
        }
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;

  private:
    py::object lock_;
};

}  // namespace brivel
