#include "workspace/sync/download.hpp"

namespace brivel::workspace {
namespace {

py::object download_outputs(py::object, py::object, py::object, py::object, py::object) {
    PyErr_SetString(PyExc_NotImplementedError, "downloading job outputs is not available yet");
    throw py::error_already_set();
}

}  // namespace

void define_download_outputs(py::module_& m) {
    m.def("download_outputs", &download_outputs, py::arg("job_id"), py::arg("client"), py::kw_only(),
          py::arg("output_dir") = py::none(), py::arg("on_file") = py::none(),
          py::arg("max_workers") = py::none());
}

}  // namespace brivel::workspace
