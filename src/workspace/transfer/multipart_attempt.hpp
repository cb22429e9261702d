// One attempt at the multipart upload of one file: the state that the engine settles and
// that the journal writers, the batch preparation, the part workers and the dispatch read.
// Only the attempt's own thread changes it; `completed` and `checksums` change under
// `jlock`, together with the journal append.
#pragma once

#include <memory>
#include <vector>

#include "common/fspath.hpp"
#include "common/pool.hpp"
#include "common/py.hpp"

namespace brivel::workspace {

struct Attempt : std::enable_shared_from_this<Attempt> {
    py::object client;  // the WorkspaceClient
    py::object sha;     // content hash: the object's key and the journal's name
    py::object path;    // the local file, as the caller gave it
    fspath::Encoded file;
    long long size = 0;       // bytes, as the caller gave it
    long long part_size = 1;  // bytes per part
    bool checksum_parts = false;
    py::object journal;     // Path of the journal file
    py::object upload_id;   // str once settled
    py::dict completed;     // part number -> ETag
    py::dict checksums;     // part number -> base64 SHA-256 of the part
    py::object presign_ep;  // the presign-parts endpoint path
    py::object jlock;       // threading.Lock

    // Dispatch settings.
    long long max_inflight = 1;
    long long pool_workers = 1;
    py::object ctrl;  // the adaptive depth controller, or None

    // Journal (best effort: every ordinary error is ignored).
    void write_journal_header();
    void append_part(py::handle pn, py::handle etag, py::handle ck);

    // Part workers, run on the look-ahead thread and the part pool.
    py::tuple prepare_batch(py::handle batch);                  // (urls, cks)
    py::tuple do_part(py::handle pn, py::handle url, py::handle ck);  // (pn, etag, ck)
    py::object remint(long long pn, py::handle ck);

    // Sends the `missing` parts: presigned a batch ahead, at most the current depth in
    // flight, each collected part entered in the maps and the journal. Raises the first
    // failure once every submitted part has ended.
    void dispatch(const std::vector<long long>& missing);

  private:
    void reap(pool::Pool& ex, py::dict& inflight);
    py::object current_target() const;
};

}  // namespace brivel::workspace
