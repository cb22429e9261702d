#include "workspace/manifest/walk.hpp"

#include <cstring>
#include <memory>
#include <optional>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "core/dirwalk.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/paths.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

// Asks matches_ignore through the namespace, with the GIL held.
class NamespaceRules : public dirwalk::Matcher {
  public:
    explicit NamespaceRules(py::handle ignore) : ignore_(ignore) {}
    bool ignored(glob::View rel) override {
        return args::truthy(ns::call("matches_ignore", from_text(rel), ignore_));
    }

  private:
    py::handle ignore_;
};

class WalkGenerator {
  public:
    WalkGenerator(py::object root, py::str base_rel, py::list ignore, py::object follow, py::object cap,
                  py::list accumulated)
        : root_(std::move(root)), base_rel_(std::move(base_rel)), ignore_(std::move(ignore)),
          follow_arg_(std::move(follow)), cap_(std::move(cap)), accumulated_(std::move(accumulated)) {}

    py::object next() {
        py::object path, rel;
        if (!step(path, rel)) throw py::stop_iteration();
        return py::make_tuple(path, rel);
    }

    // One item without the tuple; false once the walk is finished.
    bool step(py::object& path, py::object& rel) {
        if (finished_) return false;
        if (running_) throw py::value_error("generator already executing");
        running_ = true;
        try {
            bool more = advance(path, rel);
            running_ = false;
            if (!more) finish();
            return more;
        } catch (...) {
            running_ = false;
            finish();
            throw;
        }
    }

    py::object send(py::object value) {
        if (!started_ && !value.is_none()) throw py::type_error("can't send non-None value to a just-started generator");
        return next();
    }

    void throw_in(py::object type, py::object value, py::object /*traceback*/) {
        if (running_) throw py::value_error("generator already executing");
        if (!PyExceptionInstance_Check(type.ptr()) && !PyExceptionClass_Check(type.ptr())) {
            PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(type.ptr())->tp_name);
            throw py::error_already_set();
        }
        finish();
        if (PyExceptionInstance_Check(type.ptr()))
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type.ptr())), type.ptr());
        else
            PyErr_SetObject(type.ptr(), value.is_none() ? nullptr : value.ptr());
        throw py::error_already_set();
    }

    void close() {
        if (running_) throw py::value_error("generator already executing");
        finish();
    }

    bool running() const { return running_; }

  private:
    py::object root_;
    py::str base_rel_;
    py::list ignore_;
    py::object follow_arg_;  // its truth value is taken when the walk starts
    bool follow_ = false;
    py::object cap_;
    py::list accumulated_;

    bool started_ = false, finished_ = false, running_ = false, utf8_ = true;
    std::unique_ptr<dirwalk::Walker> walker_;
    glob::RuleSet rules_;
    std::vector<py::object> compiled_from_;  // the list items the rules were made from
    bool rules_valid_ = false;
    // Path objects of the directories on the walk's current path, with the ids they
    // were made for. Below the root each is made from its parent, as pathlib's walk does.
    struct DirPath {
        std::uint64_t id;
        py::object path;
    };
    std::vector<DirPath> dirs_;
    std::optional<ChildPaths> paths_;

    // Brings dirs_ up to the directory whose files come now: its Path(dirpath) is last.
    void sync_directory_paths() {
        const std::size_t depth = walker_->depth();
        for (std::size_t level = 0; level < depth; ++level) {
            std::uint64_t id = walker_->id_at(level);
            if (level < dirs_.size() && dirs_[level].id == id) continue;
            dirs_.resize(level);
            py::str name = fsdecode(walker_->name_at(level));
            py::object path = level > 0 ? paths_->child(dirs_[level - 1].path, name) : ns::get("Path")(name);
            dirs_.push_back({id, std::move(path)});
        }
        dirs_.resize(depth);
    }

    void finish() {
        finished_ = true;
        walker_.reset();
    }

    void start() {
        started_ = true;
        paths_.emplace();
        follow_ = args::truthy(follow_arg_);
        std::string top = fspath::encode(root_).bytes;
        utf8_ = fs_encoding_is_utf8();
        dirwalk::Decoder decode;
        if (utf8_) {
            decode = &glob::decode_fs;
        } else {
            decode = [](std::string_view bytes, glob::Text& out) { out += to_text(fsdecode(bytes)); };
        }
        walker_ = std::make_unique<dirwalk::Walker>(std::move(top), to_text(base_rel_), follow_, std::move(decode));
    }

    // The compiled rules still describe the list as it is now.
    bool rules_current() {
        Py_ssize_t n = PyList_GET_SIZE(ignore_.ptr());
        if (rules_valid_ && static_cast<std::size_t>(n) == compiled_from_.size()) {
            bool same = true;
            for (Py_ssize_t i = 0; i < n && same; ++i)
                same = PyList_GET_ITEM(ignore_.ptr(), i) == compiled_from_[static_cast<std::size_t>(i)].ptr();
            if (same) return true;
        }
        compiled_from_.clear();
        for (py::handle item : ignore_) compiled_from_.push_back(py::reinterpret_borrow<py::object>(item));
        rules_valid_ = compile_rules(ignore_, rules_);
        return rules_valid_;
    }

    bool advance(py::object& path_out, py::object& rel_out) {
        if (!started_) start();
        bool native = utf8_ && ignore_rules_native() && rules_current();
        dirwalk::File file;
        dirwalk::Step outcome;
        if (native) {
            NativeRules matcher(rules_);
            gil::Release nogil;
            outcome = walker_->next(matcher, file);
        } else {
            NamespaceRules matcher(ignore_);
            outcome = walker_->next(matcher, file);
        }
        if (outcome == dirwalk::Step::end) return false;
        sync_directory_paths();
        py::object path = paths_->child(dirs_.back().path, fsdecode(file.name));

        py::str rel = from_text(file.rel);
        py::object total = steal_or_throw(PySequence_GetItem(accumulated_.ptr(), 0)) + py::int_(file.size);
        if (PySequence_SetItem(accumulated_.ptr(), 0, total.ptr()) < 0) throw py::error_already_set();
        if (!cap_.is_none() && total > cap_) raise_too_large(cap_, rel);
        path_out = std::move(path);
        rel_out = std::move(rel);
        return true;
    }
};

// The iterator slot, without the per-call argument handling of a bound method: the
// walk's items are the hot path of every build.
PyObject* walk_iternext(PyObject* self) {
    try {
        return py::handle(self).cast<WalkGenerator&>().next().release().ptr();
    } catch (py::stop_iteration&) {
        return nullptr;  // exhausted: no error set, as the iterator protocol has it
    } catch (...) {
        errors::set_error_from_current(PyExc_RuntimeError);
    }
    return nullptr;
}

py::object walk_tree(const sig::Bound& a) {
    args::exact_str(a[1], "base_rel");
    args::exact_list(a[2], "ignore");
    py::object cap = args::to_int(a[4], "cap_bytes", true);
    args::exact_list(a[5], "accumulated");
    return py::cast(WalkGenerator(a[0], a[1], a[2], a[3], cap, a[5]));
}

}  // namespace

bool fs_encoding_is_utf8() {
    py::object sys = ns::get("sys");
    return py::str(sys.attr("getfilesystemencoding")()).equal(py::str("utf-8")) &&
           py::str(sys.attr("getfilesystemencodeerrors")()).equal(py::str("surrogateescape"));
}

void raise_too_large(py::handle cap, py::handle rel) {
    py::str shown = divide(cap, py::int_(1073741824)).attr("__format__")(".2f");
    py::str message = py::str("Workspace exceeds {} GB cap (triggered at {}). Trim with .gitignore or raise "
                              "Workspace(max_size_bytes=...).")
                          .format(shown, py::repr(rel));
    PyErr_SetObject(ns::get("WorkspaceTooLargeError").ptr(), message.ptr());
    throw py::error_already_set();
}

bool is_walk(py::handle obj) {
    PyObject* type = py::detail::get_type_handle(typeid(WalkGenerator), false).ptr();
    return type && Py_IS_TYPE(obj.ptr(), reinterpret_cast<PyTypeObject*>(type));
}

bool walk_step(py::handle walk, py::object& path, py::object& relpath) {
    return walk.cast<WalkGenerator&>().step(path, relpath);
}

void define_walk_tree(py::module_& m) {
    capture_pathlib();
    sig::def(m, "_walk_tree",
             {sig::arg("root"), sig::kw("base_rel"), sig::kw("ignore"), sig::kw("follow_symlinks"), sig::kw("cap_bytes"),
              sig::kw("accumulated")},
             "Generate (path, relpath) for every file below `root` that the `ignore` patterns keep,\n"
             "relpath starting with `base_rel`. File sizes are added to accumulated[0]; going over\n"
             "`cap_bytes` raises WorkspaceTooLargeError.",
             &walk_tree);
    state().walk_tree = ns::get("_walk_tree");
}

void define_walk_type(py::module_& m) {
    // The type is made once per process (a module body run again after a failed import
    // reuses it) and is not a module attribute of its own.
    if (py::detail::get_type_info(typeid(WalkGenerator))) return;
    py::class_<WalkGenerator> cls(m, "generator");
    cls.def("__iter__", [](py::object self) { return self; })
        .def("__next__", &WalkGenerator::next)
        .def("send", &WalkGenerator::send, py::arg("value"))
        .def("throw", &WalkGenerator::throw_in, py::arg("typ"), py::arg("val") = py::none(),
             py::arg("tb") = py::none())
        .def("close", &WalkGenerator::close)
        .def_property_readonly("gi_running", &WalkGenerator::running);
    // A generator's own __name__/__qualname__ are the function's; setattr on the type
    // would rename the type instead, so the descriptors go into its dict directly.
    py::object property = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
    py::cpp_function name_getter([](py::handle) { return "_walk_tree"; });
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    for (const char* attr : {"__name__", "__qualname__"})
        if (PyDict_SetItemString(type->tp_dict, attr, property(name_getter).ptr()) < 0) throw py::error_already_set();
    type->tp_iternext = &walk_iternext;
    PyType_Modified(type);
    cls.inc_ref();  // held for the process: the module no longer references the type
    py::delattr(m, "generator");
}

}  // namespace brivel::workspace
