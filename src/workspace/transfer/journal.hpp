// The upload journal: one JSON-lines file per content hash in the cache directory's
// `uploads` subdirectory, naming the server-side multipart upload and every part the store
// has acknowledged, so that a later upload of the same content sends only what is missing.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_upload_journal(py::module_& m);  // _upload_journal_dir, _read_journal_state

}  // namespace brivel::workspace
