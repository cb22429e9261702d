// brivel.spillbox: keeps large call arguments out of remote-call requests.
#include "common/module.hpp"
#include "common/ns.hpp"
#include "spillbox/fileargs/fileargs.hpp"

BRIVEL_MODULE(spillbox, m) {
    using namespace brivel::spillbox;
    brivel::ns::bind(m);
    // The standard names the module's functions look up at each call.
    brivel::ns::set("os", brivel::ns::import("os"));
    brivel::ns::set("Path", brivel::ns::import("pathlib").attr("Path"));
    define_remote_refs(m);
    define_zip_directory(m);
    define_local_tests(m);
    define_resolve_one(m);
    define_resolve_file_args(m);
}
