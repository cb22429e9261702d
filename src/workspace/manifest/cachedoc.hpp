// The step-by-step lane's side of the hash-cache document: the core's stat signature as the
// module hands it out, and the entries a resolution writes back through the core's writer.
#pragma once

#include <optional>
#include <vector>

#include "common/py.hpp"
#include "core/cachedoc.hpp"

namespace brivel::workspace {

// The int of signature member `k` (size, mtime_ns, ctime_ns, inode).
py::object signature_member(const cachedoc::Signature& stat_sig, int k);
// The mapping _stat_signature gives for `stat_sig`, or None when it has none.
py::object signature_dict(const cachedoc::Signature& stat_sig);

// A cache entry: a new mapping of the signature's members in their order, then "sha256";
// None without a signature. The signature itself is left alone: a replaced _stat_signature
// may hand out one dict for several files.
py::object entry_of(py::handle stat_sig, py::handle sha);

// The entries of the document one resolution writes, in the order they are added; a path
// text added twice keeps its first place and its last entry.
class FreshEntries {
  public:
    // An entry from a native stat; none when `stat_sig` is not present.
    void add(py::handle key, const cachedoc::Signature& stat_sig, py::handle sha);
    // An entry mapping as entry_of makes it; None adds nothing.
    void add(py::handle key, py::handle entry);
    // Replaces the file `cache_path` (its write_text) with the document; errors are ignored.
    void write(py::handle cache_path) const;

  private:
    struct Entry {
        py::object key, sha;                     // sha: what the core writes, with members
        std::optional<cachedoc::Members> members;
        py::object mapping;                      // else the entry as a mapping
    };
    py::dict place_;  // path text -> index in entries_
    std::vector<Entry> entries_;

    void put(Entry e);
};

}  // namespace brivel::workspace
