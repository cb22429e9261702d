// brivel.spillbox: keeps large call arguments out of remote-call requests. The module body
// binds its names in a fixed order; the configuration comes first, so a malformed
// PORTVEL_DATA_ variable fails the import before anything else is defined.
#include "common/module.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/stream.hpp"
#include "spillbox/fileargs/fileargs.hpp"
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
    define_remote_refs(m);
    define_zip_directory(m);
    define_local_tests(m);
    define_resolve_one(m);
    define_resolve_file_args(m);
    define_resolving_wrapper(m);
}
