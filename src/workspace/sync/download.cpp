#include "workspace/sync/download.hpp"

#include "common/signature.hpp"

namespace brivel::workspace {
namespace {

py::object download_outputs(const sig::Bound&) {
    PyErr_SetString(PyExc_NotImplementedError, "downloading job outputs is not available yet");
    throw py::error_already_set();
}

}  // namespace

void define_download_outputs(py::module_& m) {
    sig::def(m, "download_outputs",
             {sig::arg("job_id"), sig::arg("client"), sig::kw("output_dir", "None"), sig::kw("on_file", "None"),
              sig::kw("max_workers", "None")},
             "Download the outputs of job `job_id` into `output_dir`; not available yet\n"
             "(NotImplementedError).",
             &download_outputs);
}

}  // namespace brivel::workspace
