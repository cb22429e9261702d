// Releasing the GIL around native work and taking it back. CPython 3.11 ends a thread that asks for the GIL while the interpreter
// finalizes by calling pthread_exit from inside the acquisition. The forced unwind of that
// exit must not meet our C++ frames: at a noexcept one (a destructor, this guard's own)
// std::terminate aborts the process, and the others would drop Python references without
// the GIL. Such a thread is parked instead, as later interpreters park it themselves: it
// never returns, and the process ends around it.
#pragma once

#include "common/py.hpp"

namespace brivel::gil {

// Takes the GIL back for the thread whose state `saved` is (PyEval_RestoreThread), or
// parks the thread for good when the interpreter is ending it.
void restore(PyThreadState* saved) noexcept;

// The GIL released for the guard's lifetime.
class Release {
  public:
    Release() noexcept : saved_(PyEval_SaveThread()) {}
    ~Release() { restore(saved_); }
    Release(const Release&) = delete;
    Release& operator=(const Release&) = delete;

  private:
    PyThreadState* saved_;
};

// The GIL taken for the guard's lifetime by a thread that released it (PyGILState_Ensure),
// for a short Python step inside native work.
class Acquire {
  public:
    Acquire() noexcept;
    ~Acquire() { PyGILState_Release(state_); }
    Acquire(const Acquire&) = delete;
    Acquire& operator=(const Acquire&) = delete;

  private:
    PyGILState_STATE state_;
};

}  // namespace brivel::gil
