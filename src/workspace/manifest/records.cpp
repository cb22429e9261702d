#include "workspace/manifest/records.hpp"

#include "common/args.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

using pyclass::Fields;

py::handle list_type() { return reinterpret_cast<PyObject*>(&PyList_Type); }

void output_post_init(py::object self) {
    bool path = args::truthy(self.attr("path"));
    bool pattern = args::truthy(self.attr("pattern"));
    if (!path && !pattern) throw py::value_error("Output requires either path= or pattern=");
    if (path && pattern) throw py::value_error("Output cannot have both path= and pattern=");
}

bool workspace_has_inputs(py::object self) {
    if (args::truthy(self.attr("uploads"))) return true;
    return !self.attr("root").is_none();
}

py::dict built_unique_blobs(py::object self) {
    py::dict blobs;
    for (py::handle f : self.attr("files")) {
        py::object sha = f.attr("sha256");
        if (PyDict_SetDefault(blobs.ptr(), sha.ptr(), f.ptr()) == nullptr) throw py::error_already_set();
    }
    return blobs;
}

py::dict file_entry(py::handle f) {
    py::dict d;
    for (const char* key : {"relpath", "sha256", "size", "mode", "to"}) d[key] = f.attr(key);
    return d;
}

py::dict output_entry(py::handle o) {
    py::dict d;
    d["path"] = o.attr("path");
    d["pattern"] = o.attr("pattern");
    py::object save_to = o.attr("save_to");
    d["save_to"] = save_to.is_none() ? save_to : to_str(save_to);  // str() of an exact str is itself
    d["required"] = o.attr("required");
    return d;
}

py::dict built_to_manifest_dict(py::object self) {
    py::dict doc;
    doc["workspace_root"] = self.attr("workspace_root");
    py::list files;
    for (py::handle f : self.attr("files")) files.append(file_entry(f));
    doc["files"] = files;
    py::object output_cls = ns::get("Output");
    py::list outputs;
    for (py::handle o : self.attr("outputs"))
        if (py::isinstance(o, output_cls)) outputs.append(output_entry(o));
    doc["outputs"] = outputs;
    doc["auto_outputs"] = self.attr("auto_outputs");
    py::list ignore;
    for (py::handle p : self.attr("ignore")) ignore.append(p);
    doc["ignore"] = ignore;
    doc["total_size_bytes"] = self.attr("total_size_bytes");
    return doc;
}

}  // namespace

void define_input_records(py::module_&) {
    py::object upload = pyclass::new_class("Upload");
    Fields(upload)
        .required("local", "Union[str, Path]")
        .value("to", "Optional[str]", py::none())
        .value("follow_symlinks", "bool", py::bool_(false));
    ns::set("Upload", pyclass::dataclass(upload));

    py::object output = pyclass::new_class("Output");
    Fields(output)
        .value("path", "Optional[str]", py::none())
        .value("pattern", "Optional[str]", py::none())
        .value("save_to", "Optional[Union[str, Path]]", py::none())
        .value("required", "bool", py::bool_(false));
    sig::method(output, "__post_init__", {}, "Check that exactly one of path= and pattern= is given (ValueError).",
                [](py::object self, const sig::Bound&) { output_post_init(self); });
    ns::set("Output", pyclass::dataclass(output));

    py::object workspace = pyclass::new_class("Workspace");
    Fields(workspace)
        .value("root", "Optional[Union[str, Path]]", py::str("auto"))
        .factory("uploads", "list[Upload]", list_type())
        .value("outputs", "Union[list[Output], str]", py::str("auto"))
        .factory("ignore", "list[str]", list_type())
        .value("max_size_bytes", "Optional[int]", py::none())
        .value("workspace_root_on_vm", "str", py::str("/workspace"));
    sig::method(workspace, "has_inputs", {}, "Return True when there is anything to upload: a root or uploads.",
                [](py::object self, const sig::Bound&) { return workspace_has_inputs(self); });
    ns::set("Workspace", pyclass::dataclass(workspace));
}

void define_manifest_records(py::module_&) {
    py::object file = pyclass::new_class("ManifestFile");
    Fields(file)
        .required("relpath", "str")
        .required("sha256", "str")
        .required("size", "int")
        .required("mode", "int")
        .required("local_path", "Path")
        .value("to", "Optional[str]", py::none());
    py::object record = pyclass::dataclass(file);
    ns::set("ManifestFile", record);
    py::tuple keywords(6);
    const char* names[] = {"relpath", "sha256", "size", "mode", "local_path", "to"};
    for (std::size_t i = 0; i < 6; ++i) keywords[i] = intern(names[i]);
    state().record_keywords = keywords;
    state().manifest_file = pyclass::DirectInit(record, keywords);

    py::object built = pyclass::new_class("BuiltManifest");
    Fields(built)
        .required("workspace_root", "str")
        .required("files", "list[ManifestFile]")
        .required("outputs", "list[Output]")
        .required("auto_outputs", "bool")
        .required("ignore", "list[str]")
        .required("total_size_bytes", "int");
    sig::method(built, "unique_blobs", {},
                "Return {sha256: the first ManifestFile with that content}, in file order.",
                [](py::object self, const sig::Bound&) { return built_unique_blobs(self); });
    sig::method(built, "to_manifest_dict", {}, "Return the manifest as the job API takes it (a JSON-ready dict).",
                [](py::object self, const sig::Bound&) { return built_to_manifest_dict(self); });
    ns::set("BuiltManifest", pyclass::dataclass(built));
}

void define_too_large_error(py::module_&) {
    py::tuple bases = py::make_tuple(py::handle(PyExc_RuntimeError));
    py::object cls = pyclass::new_class("WorkspaceTooLargeError", bases);
    py::setattr(cls, "__doc__",
                py::str("Raised by build_manifest when the files of a workspace add up to more than its\n"
                        "max_size_bytes; the message gives the limit and the file that went over it.\n"
                        "A RuntimeError."));
    ns::set("WorkspaceTooLargeError", cls);
}

}  // namespace brivel::workspace
