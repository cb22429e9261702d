#include "spillbox/config.hpp"

#include "common/env.hpp"
#include "common/ns.hpp"

namespace brivel::spillbox {

void define_config(py::module_& m) {
    ns::bind(m);
    for (const char* name : {"functools", "hashlib", "logging", "os", "sys", "threading"})
        ns::set(name, ns::import(name));
    ns::set("Path", ns::import("pathlib").attr("Path"));
    py::object typing = ns::import("typing");
    for (const char* name : {"Any", "Callable", "Optional"}) ns::set(name, typing.attr(name));
    ns::set("logger", ns::get("logging").attr("getLogger")("brivel.spillbox"));

    ns::set("_DEFAULT_SIZE_THRESHOLD", py::int_(52428800));
    env::read_int("_DATA_MULTIPART_THRESHOLD", "PORTVEL_DATA_MULTIPART_THRESHOLD_BYTES", py::str("134217728"));
    env::read_int("_DATA_MULTIPART_PART_SIZE", "PORTVEL_DATA_MULTIPART_PART_SIZE_BYTES", py::str("67108864"));
    ns::set("_DATA_MULTIPART_MAX_PARTS", py::int_(10000));
    env::read_int("_DATA_UPLOAD_CONCURRENCY", "PORTVEL_DATA_UPLOAD_CONCURRENCY", py::str("4"));
    env::read_int("_DATA_UPLOAD_MAX_RETRIES", "PORTVEL_DATA_UPLOAD_MAX_RETRIES", py::str("5"));
}

}  // namespace brivel::spillbox
