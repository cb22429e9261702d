#include "workspace/transfer/journal.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/cache_dir.hpp"
#include "workspace/transfer/multipart_attempt.hpp"

namespace brivel::workspace {
namespace {

py::object upload_journal_dir() { return cache_subdir("uploads"); }

py::tuple no_journal() { return py::make_tuple(py::none(), py::list()); }

// A journal is only ever a saving: whatever cannot be read counts as no journal, and a
// line cut off by a crash loses only that line.
py::tuple read_journal_state(const sig::Bound& v) {
    py::object text;
    bool read = false;
    errors::best_effort([&] {
        text = v[0].attr("read_text")().attr("strip")();
        read = true;
    });
    if (!read || !args::truthy(text)) return no_journal();
    py::object json = ns::import("json");

    // The older whole-file form: one object holding its records under "completed".
    bool whole = false;
    py::tuple result;
    errors::best_effort([&] {
        py::object doc = json.attr("loads")(text);
        if (!PyDict_CheckExact(doc.ptr())) return;
        py::object recs = doc.attr("get")("completed");
        py::object source = args::truthy(recs) ? recs : py::list();
        PyObject* copy = PySequence_List(source.ptr());  // a new list, never the document's own
        if (!copy) throw py::error_already_set();
        result = py::make_tuple(doc, py::reinterpret_steal<py::list>(copy));
        whole = true;
    });
    if (whole) return result;

    py::object header = py::none();
    py::list records;
    for (py::handle raw : text.attr("splitlines")()) {
        py::object line = raw.attr("strip")();
        if (!args::truthy(line)) continue;
        py::object value;
        bool parsed = false;
        errors::best_effort([&] {
            value = json.attr("loads")(line);
            parsed = true;
        });
        if (!parsed) continue;
        if (header.is_none()) {
            header = args::expect(value, &PyDict_Type);  // null leaves the header unset
            continue;
        }
        if (PyDict_CheckExact(value.ptr()) && value.contains("part")) records.append(value);
    }
    return py::make_tuple(header, records);
}

py::object dumps(py::handle obj) { return ns::import("json").attr("dumps")(obj); }

py::dict part_line(py::handle pn, py::handle etag, py::handle ck) {
    py::dict line;
    line["part"] = pn;
    line["etag"] = etag;
    line["checksum"] = ck;
    return line;
}

}  // namespace

void Attempt::write_journal_header() {
    errors::best_effort([&] {
        py::dict header;
        header["upload_id"] = upload_id;
        header["part_size"] = py::int_(part_size);
        header["checksum_parts"] = py::bool_(checksum_parts);
        py::list lines;
        lines.append(dumps(header));
        py::list order = ns::import("builtins").attr("sorted")(completed);
        for (py::handle pn : order) lines.append(dumps(part_line(pn, completed[pn], checksums.attr("get")(pn))));
        py::str text = py::str("\n").attr("join")(lines);
        journal.attr("write_text")(text + py::str("\n"));
    });
}

void Attempt::append_part(py::handle pn, py::handle etag, py::handle ck) {
    errors::best_effort([&] {
        py::object line = dumps(part_line(pn, etag, ck)) + py::str("\n");
        py::object f = ns::import("builtins").attr("open")(journal, "a");
        try {
            f.attr("write")(line);
        } catch (...) {
            errors::best_effort([&] { f.attr("close")(); });
            throw;
        }
        f.attr("close")();
    });
}

void define_upload_journal(py::module_& m) {
    sig::def(m, "_upload_journal_dir", {},
             "The `uploads` subdirectory of the cache directory (BRIVEL_CACHE_DIR, else\n"
             "~/.brivel_cache), created when missing; a failure to create it is ignored.",
             [](const sig::Bound&) { return upload_journal_dir(); });
    sig::def(m, "_read_journal_state", {sig::arg("journal")},
             "Returns (header or None, records) of an upload journal: the first JSON object is the\n"
             "header, every later object with \"part\" a record. Unreadable or empty files give\n"
             "(None, []), unparsable lines "
             "are skipped; a first value that is not an object raises TypeError.",
             &read_journal_state);
}

}  // namespace brivel::workspace
