#include "common/gil.hpp"

#include <dlfcn.h>
#include <unistd.h>
#include <unwind.h>

namespace brivel::gil {

namespace {

[[noreturn]] void park() noexcept {
    for (;;) ::pause();
}

// The interpreter is ending this thread: it finalizes, and this is not the thread that
// finalizes it (the main one).
bool ended() noexcept { return _Py_IsFinalizing() && !_PyOS_IsMainThread(); }

using Personality = _Unwind_Reason_Code (*)(int, _Unwind_Action, _Unwind_Exception_Class, _Unwind_Exception*,
                                            _Unwind_Context*);

// The C++ runtime's own routine, which this module's replaces for its frames.
Personality find_runtime_personality() {
    void* found = ::dlsym(RTLD_NEXT, "__gxx_personality_v0");
    if (!found) {
        // Not after this module in the search order: ask the runtime this module loaded.
        if (void* runtime = ::dlopen("libstdc++.so.6", RTLD_LAZY | RTLD_NOLOAD))
            found = ::dlsym(runtime, "__gxx_personality_v0");
    }
    return reinterpret_cast<Personality>(found);
}

const Personality runtime_personality = find_runtime_personality();

}  // namespace

void restore(PyThreadState* saved) noexcept {
    if (ended()) park();
    PyEval_RestoreThread(saved);
}

Acquire::Acquire() noexcept {
    if (ended()) park();
    state_ = PyGILState_Ensure();
}

}  // namespace brivel::gil

// The interpreter's exit of a thread can also begin after the checks above (finalization
// starts while the thread waits for the GIL), or inside Python code that native code called
// (any Python step may wait for the GIL). The unwind asks each frame's personality routine
// what to do there; the one defined here is the routine of this module's own C++ frames
// only, and it parks such a thread at the first of our frames the unwind reaches, before
// any of them runs a destructor (one that is noexcept would abort the process, the others
// drop references without the GIL). Everything else goes to the runtime's routine.
extern "C" __attribute__((visibility("hidden"))) _Unwind_Reason_Code __gxx_personality_v0(
    int version, _Unwind_Action actions, _Unwind_Exception_Class cls, _Unwind_Exception* e, _Unwind_Context* ctx) {
    if ((actions & _UA_FORCE_UNWIND) && brivel::gil::ended()) brivel::gil::park();
    return brivel::gil::runtime_personality(version, actions, cls, e, ctx);
}
