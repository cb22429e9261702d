// Holds the cyclic garbage collector off while a call makes many objects that form no
// cycles (a manifest's records and paths): each collection it would trigger traverses
// all of them again. Its previous state comes back on every exit, errors included.
#pragma once

#include "common/py.hpp"

namespace brivel {

class GcPause {
  public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    bool was_enabled_;
};

}  // namespace brivel
