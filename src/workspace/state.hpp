// What brivel.workspace keeps between calls. The module body fills it; a
// failed body empties it again.
#pragma once

#include "common/ns.hpp"
#include "common/pyclass.hpp"

namespace brivel::workspace {

struct ModuleState {
    // The functions and classes the module body defined or found, kept to tell whether a
    // name still holds the module's own object: the native fast paths run only while it does.
    py::object stat_signature, hash_cache_hit, sha256_file;
    py::object walk_tree, resolve_manifest_files, hash_cache_path, load_hash_cache;
    py::object matches_ignore, normalize_pattern, fnmatchcase;
    py::object path_cls, posix_path, path_stat;
    py::object make_child_relpath, from_parsed_parts, path_slots[3];  // pathlib's, for ChildPaths
    py::object upload_blob_single, put_part_bytes;  // WorkspaceClient's own methods

    // Interned keys: a hash-cache entry's members (size, mtime_ns, ctime_ns, inode, sha256)
    // and a ManifestFile's keywords.
    py::str entry_keys[5];
    py::tuple record_keywords;
    pyclass::DirectInit manifest_file;  // ManifestFile made without its __init__ call

    // Classes the module created that are not module attributes: the single PUT's body
    // iterator and a part PUT's.
    py::object file_stream, part_body;
};

inline ModuleState& state() { return ns::state<ModuleState>(); }

// True while the module attribute `name` is still `original`.
inline bool own(const char* name, const py::object& original) { return ns::get(name).is(original); }

// True while `method`, an attribute of `self`, is the class's own `function` bound to `self`.
inline bool own_method(py::handle method, py::handle self, const py::object& function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == self.ptr() &&
           PyMethod_GET_FUNCTION(method.ptr()) == function.ptr();
}

}  // namespace brivel::workspace
