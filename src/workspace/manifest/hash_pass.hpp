// The hash pass of the manifest resolution: the files whose cache entry did not hold are
// hashed, natively on worker threads while _sha256_file is the module's own, else through
// the namespace's _sha256_file on a thread pool. Also the outcome helpers both passes share.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "common/py.hpp"
#include "core/cachedoc.hpp"
#include "workspace/manifest/cachedoc.hpp"

namespace brivel::workspace {

struct HashWork {
    std::size_t index;                     // position in the pending list
    py::object local, rel, to, mode;
    std::optional<cachedoc::Signature> native;  // the signature of a native stat, else
    py::object stat_sig;                        // the namespace's signature mapping, or None
};

// Hashes every item, storing its ManifestFile at results[index] and its new cache entry
// (when it has a signature) in `fresh`; unreadable files are logged and left out.
void hash_pass(const std::vector<HashWork>& work, std::vector<py::object>& results, FreshEntries& fresh);

// ManifestFile(relpath=rel, sha256=sha, size=size, mode=mode, local_path=local, to=to).
py::object record(py::handle rel, py::handle sha, py::handle size, py::handle mode, py::handle local, py::handle to);

// The log line of a file left out: "Skipping unreadable <local>: <err>".
void warn_unreadable(py::handle local, py::handle err);

// The error logged for a pipe, socket or device node: those are never read, a read could
// block for ever.
py::object not_regular();

}  // namespace brivel::workspace
