// _walk_tree: the lazy, size-capped walk of one directory tree.
#pragma once

#include "common/py.hpp"
#include "core/dirwalk.hpp"

namespace brivel::workspace {

void define_walk_tree(py::module_& m);

// The compiled ignore rules as the walk's matcher (no Python, no GIL needed).
class NativeRules : public dirwalk::Matcher {
  public:
    explicit NativeRules(const glob::RuleSet& rules) : rules_(rules) {}
    bool ignored(glob::View rel) override { return rules_.ignored(rel); }

  private:
    const glob::RuleSet& rules_;
};

// The generator type of the walk (not a module attribute).
void define_walk_type(py::module_& m);

// Whether `obj` is a walk made by the module's _walk_tree; if so, walk_step takes its next
// (path, relpath) without building the item tuple, as iterating it would. False at the end.
bool is_walk(py::handle obj);
bool walk_step(py::handle walk, py::object& path, py::object& relpath);

// The walk decodes names itself only where the interpreter's file-system encoding is
// UTF-8 with surrogateescape (always so on Linux unless a legacy locale is forced).
bool fs_encoding_is_utf8();

// WorkspaceTooLargeError for the file `rel` that took the total over `cap`.
[[noreturn]] void raise_too_large(py::handle cap, py::handle rel);

}  // namespace brivel::workspace
