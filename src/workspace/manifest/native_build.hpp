// The manifest built in one native pass, used while every late-bound step of the build is
// still the module's own: the walks run to their end without the GIL, the hash cache is
// read and written as text, and worker threads check the cache and hash the stale files
// while the walks go on. Python objects are made once, for the result. What it gives
// (records, warnings, errors, the cache file) equals what the step-by-step build gives.
#pragma once

#include <memory>

#include "common/py.hpp"

namespace brivel::workspace {

class NativeBuild {
  public:
    // A build for the project `root` (None: none) and the full ignore list, or nullptr
    // when a step has been replaced or the patterns need the interpreter.
    static std::unique_ptr<NativeBuild> start(py::handle root, py::handle ignore);
    ~NativeBuild();

    // The files below `dir` that the ignore list keeps, with relpaths under `base` (and
    // targets under `mount`, when given, for an absolute Upload target).
    void walk(py::handle dir, py::handle base, py::handle follow, py::handle cap, py::handle mount);
    // One file added as it is; the first file under a relpath wins.
    void add_file(py::handle local, py::handle relpath, py::handle to);
    // The bytes the walks found so far.
    py::object total() const;
    // The ManifestFile of every readable regular file, in the order they were found.
    py::list files();

    struct State;

  private:
    explicit NativeBuild(std::unique_ptr<State> state);
    std::unique_ptr<State> s_;
};

}  // namespace brivel::workspace
