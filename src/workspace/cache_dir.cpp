#include "workspace/cache_dir.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"

namespace brivel::workspace {

py::object cache_subdir(const char* name) {
    py::object env = ns::get("os").attr("environ").attr("get")("BRIVEL_CACHE_DIR");
    py::object Path = ns::get("Path");
    py::object base = args::truthy(env) ? Path(env) : divide(Path.attr("home")(), py::str(".brivel_cache"));
    py::object dir = divide(base, py::str(name));
    errors::best_effort([&] { dir.attr("mkdir")(py::arg("parents") = true, py::arg("exist_ok") = true); });
    return dir;
}

}  // namespace brivel::workspace
