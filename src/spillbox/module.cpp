// brivel.spillbox: keeps large call arguments out of remote-call requests. The module body
// binds its names in a fixed order; the configuration comes first, so a malformed
// PORTVEL_DATA_ variable fails the import before anything else is defined.
#include "common/module.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/stream.hpp"
#include "spillbox/offload/estimate.hpp"
#include "spillbox/offload/offloader.hpp"
#include "spillbox/offload/wrapper.hpp"

BRIVEL_MODULE(spillbox, m) {
    using namespace brivel::spillbox;
    m.doc() =
        "Argument offload: large call arguments are pickled, stored in the backend data store\n"
        "and replaced by None; the returned wrapper fetches them back where the call runs.\n"
        "Local file and directory arguments travel as path-like objects carrying their bytes.";
    define_config(m);
    define_stream_bytes(m);
    define_size_estimate(m);
    define_data_offloader(m);
    // define_remote_paths(m): _RemoteFile, _RemoteDir
    // define_file_args(m): _zip_directory, _is_local_file, _is_local_dir, _resolve_one, resolve_file_args
    define_resolving_wrapper(m);
}
