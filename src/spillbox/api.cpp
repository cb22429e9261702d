#include "spillbox/api.hpp"

#include "common/errors.hpp"
#include "spillbox/config.hpp"

namespace brivel::spillbox {

py::str text(py::handle value) {
    PyObject* s = PyObject_Format(value.ptr(), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::str api_url(py::handle self, const char* path) { return concat(text(self.attr("api_url")), py::str(path)); }

py::dict bearer(py::handle self) {
    py::dict h;
    h["Authorization"] = concat(py::str("Bearer "), text(self.attr("api_key")));
    return h;
}

long status_of(py::handle response) { return py::cast<long>(response.attr("status_code")); }

py::object post_init(py::handle self, py::handle httpx, const char* path, py::handle auth, const char* failed,
                     const char* refused) {
    using namespace pybind11::literals;
    py::object resp;
    try {
        resp = httpx.attr("post")(api_url(self, path), "headers"_a = auth, "timeout"_a = 60.0);
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("debug", failed, e.value());
        return py::object();
    }
    long status = status_of(resp);
    if (status == 404) return py::object();
    if (status != 200) {
        log("debug", refused, resp.attr("status_code"));
        return py::object();
    }
    return resp.attr("json")();
}

}  // namespace brivel::spillbox
