// DataOffloader: constructor and pickled state, argument offloading, the upload of one
// argument over the first path that takes it, and key deletion.
#include "spillbox/offload/offloader.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/lock.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "spillbox/api.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/transports.hpp"
#include "spillbox/offload/wrapper.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

void init(py::object self, const sig::Bound& a) {
    py::object threshold = args::to_int(a[2], "size_threshold", true);
    args::exact_str(a[0], "api_url");
    args::exact_str(a[1], "api_key");
    py::setattr(self, "api_url", a[0]);
    py::setattr(self, "api_key", a[1]);
    py::setattr(self, "_size_threshold", threshold.is_none() ? ns::get("_DEFAULT_SIZE_THRESHOLD") : threshold);
    py::setattr(self, "_pending_keys", py::list());
    py::setattr(self, "_keys_lock", ns::get("threading").attr("Lock")());
    py::setattr(self, "_upload_cache", py::dict());
    py::setattr(self, "_progress_factory", a[3]);
}

// The lock stays behind; everything else in the instance dict travels, the API key too.
py::dict getstate(py::object self, const sig::Bound&) {
    py::dict state = py::dict(self.attr("__dict__")).attr("copy")();
    state.attr("pop")("_keys_lock", py::none());
    return state;
}

void setstate(py::object self, const sig::Bound& a) {
    self.attr("__dict__").attr("update")(a[0]);
    py::setattr(self, "_keys_lock", ns::get("threading").attr("Lock")());
}

// The payload of one argument: its key from the first path that gives one. An empty key
// is no key: nothing under it could be fetched, so the next path gets the payload.
py::object transport_chain(py::handle self, py::handle serialized, py::handle size, py::handle timeout,
                           py::handle progress) {
    const char* paths[] = {"_upload_multipart_to_r2", "_upload_direct_to_r2", "_upload_legacy"};
    bool multipart = size > ns::get("_DATA_MULTIPART_THRESHOLD");
    for (const char* path : paths) {
        if (path == paths[0] && !multipart) continue;
        py::object key = self.attr(path)(serialized, size, timeout, progress);
        if (key.is_none()) continue;
        if (args::truthy(key)) return key;
        log("warning", "Data upload path %s returned an empty data key; trying the next path", path);
    }
    return py::none();
}

py::object upload(py::object self, const sig::Bound& a) {
    py::object label = a[1];
    args::exact_str(label, "label");
    py::object serialized;
    try {
        serialized = ns::import("cloudpickle").attr("dumps")(a[0]);
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("warning", "Cannot serialise arg for offload: %s", e.value());
        return py::none();
    }
    py::object digest = ns::get("hashlib").attr("sha256")(serialized).attr("hexdigest")();
    py::object cached = self.attr("_upload_cache").attr("get")(digest);
    if (!cached.is_none()) {
        log("debug", "Upload cache hit hash=%s \u2192 key=%s", digest[py::slice(0, 12, 1)], cached);
        return cached;
    }
    const Py_ssize_t n = py::len(serialized);
    py::int_ size(n);
    py::float_ timeout(std::max(300.0, static_cast<double>(n) / 262144.0));
    try {
        ns::import("httpx");
        py::object progress = py::none();
        py::object factory = self.attr("_progress_factory");
        if (!factory.is_none() && size >= self.attr("UPLOAD_PROGRESS_THRESHOLD"))
            errors::best_effort([&] { progress = factory(label, size); });
        auto close = [&] {
            if (!progress.is_none()) errors::best_effort([&] { progress.attr("close")(); });
        };
        py::object key;
        try {
            key = transport_chain(self, serialized, size, timeout, progress);
        } catch (...) {
            close();
            throw;
        }
        close();
        if (!key.is_none()) {
            self.attr("_upload_cache")[digest] = key;
            LockHold hold(self.attr("_keys_lock"));
            self.attr("_pending_keys").attr("append")(key);
        }
        return key;
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("warning", "Data upload error: %s", e.value());
        return py::none();
    }
}

// Sizes every argument, uploads those at or over the threshold, and puts None in their places.
py::tuple offload_large_args(py::object self, const sig::Bound& a) {
    py::object func = a[0], call_args = a[1], call_kwargs = a[2];
    args::exact_tuple(call_args, "args");
    args::exact_dict(call_kwargs, "kwargs");
    py::dict arg_refs, kwarg_refs;
    py::list data_keys;
    py::list modified_args(call_args);
    py::dict modified_kwargs = py::dict(call_kwargs).attr("copy")();
    auto offload = [&](py::handle value, py::str label) -> py::object {
        if (ns::call("estimate_arg_size", value) < self.attr("_size_threshold")) return py::none();
        return self.attr("_upload")(value, "label"_a = label);
    };
    const Py_ssize_t n = PyTuple_GET_SIZE(call_args.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object key = offload(PyTuple_GET_ITEM(call_args.ptr(), i), py::str("Uploading arg #" + std::to_string(i)));
        if (key.is_none()) continue;
        arg_refs[py::int_(i)] = key;
        data_keys.append(key);
        modified_args[static_cast<std::size_t>(i)] = py::none();
    }
    for (py::handle pair : py::list(call_kwargs.attr("items")())) {
        py::object name = pair[py::int_(0)];
        py::str label = concat(concat(py::str("Uploading kwarg '"), text(name)), py::str("'"));
        py::object key = offload(pair[py::int_(1)], label);
        if (key.is_none()) continue;
        kwarg_refs[name] = key;
        data_keys.append(key);
        modified_kwargs[name] = py::none();
    }
    if (py::len(data_keys) == 0) return py::make_tuple(func, call_args, call_kwargs, py::list());
    log("info", "Offloaded %d arg(s) to backend data store", py::len(data_keys));
    py::object wrapper = make_resolving_wrapper(func, arg_refs.attr("copy")(), kwarg_refs.attr("copy")(),
                                                self.attr("api_url"));
    return py::make_tuple(wrapper, py::tuple(modified_args), modified_kwargs, data_keys);
}

// Deletes each key (best effort), drops the keys from the pending list, and forgets the
// cache entries that point at them, so that identical bytes are uploaded again instead of
// being answered with a deleted key.
void flush_keys(py::object self, const sig::Bound& a) {
    py::object keys = a[0];
    args::exact_list(keys, "keys");
    if (PyList_GET_SIZE(keys.ptr()) == 0) return;
    py::object httpx;
    try {
        httpx = ns::import("httpx");
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError)) return;
        throw;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        py::object key = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(keys.ptr(), i));
        errors::best_effort([&] {
            py::str url = concat(api_url(self, "/v1/data/"), text(key));
            httpx.attr("delete")(url, "headers"_a = bearer(self), "timeout"_a = 10.0);
        });
    }
    py::object gone = py::reinterpret_steal<py::object>(PySet_New(keys.ptr()));
    if (!gone) throw py::error_already_set();
    {
        LockHold hold(self.attr("_keys_lock"));
        py::object pending = py::reinterpret_steal<py::object>(PySet_New(self.attr("_pending_keys").ptr()));
        if (!pending) throw py::error_already_set();
        py::setattr(self, "_pending_keys", py::list(pending - gone));
    }
    py::object cache = self.attr("_upload_cache");
    for (py::handle pair : py::list(cache.attr("items")())) {
        int hit = PySet_Contains(gone.ptr(), py::object(pair[py::int_(1)]).ptr());
        if (hit < 0) {
            PyErr_Clear();  // an unhashable cached value cannot be a deleted key
            continue;
        }
        if (hit) cache.attr("pop")(pair[py::int_(0)], py::none());
    }
    log("debug", "Flushed %d data key(s)", py::len(keys));
}

void flush_all(py::object self, const sig::Bound&) {
    py::list snapshot;
    {
        LockHold hold(self.attr("_keys_lock"));
        snapshot = new_list(self.attr("_pending_keys"));
    }
    if (py::len(snapshot) == 0) return;
    log("info", "Flushing %d remaining data key(s)\u2026", py::len(snapshot));
    self.attr("flush_keys")(snapshot);
    self.attr("_upload_cache").attr("clear")();
}

}  // namespace

void define_data_offloader(py::module_&) {
    py::object cls = pyclass::new_class("DataOffloader");
    py::setattr(cls, "__doc__",
                py::str("Moves a call's large arguments to the backend data store and hands back a\n"
                        "wrapper that fetches them where the call runs. Keeps the keys it uploaded until\n"
                        "they are flushed and a cache from content hash to data key.\n\n"
                        "An argument is offloaded when its estimated size reaches size_threshold bytes:\n"
                        "52428800 (50 MiB, the module's _DEFAULT_SIZE_THRESHOLD) unless given.\n"
                        "progress_factory(label: str, total: int) is called for each payload of at least\n"
                        "UPLOAD_PROGRESS_THRESHOLD (5242880) bytes and returns an object whose\n"
                        "update(sent: int) receives the bytes sent so far (a running total) and whose\n"
                        "close() is called once when the upload ends; an Exception they raise is ignored."));
    py::setattr(cls, "UPLOAD_PROGRESS_THRESHOLD", py::int_(5242880));
    sig::method(cls, "__init__",
                {sig::arg("api_url").annotated("str"), sig::arg("api_key").annotated("str"),
                 sig::arg("size_threshold", "None").annotated("int | None"),
                 sig::arg("progress_factory", "None").annotated("Optional[Callable[[str, int], Any]]")},
                "Checks and stores the API URL and key (exactly str), the size threshold in bytes (a\n"
                "number, converted with int(); None for _DEFAULT_SIZE_THRESHOLD, 52428800) and the\n"
                "progress factory, progress_factory(label, total) -> object with update(sent) and\n"
                "close(), or None.",
                &init);
    sig::method(cls, "__getstate__", {}, "Returns a copy of the instance dict without the key lock.", &getstate);
    sig::method(cls, "__setstate__", {sig::arg("state")}, "Restores the instance dict and creates a new key lock.",
                &setstate);
    sig::method(cls, "offload_large_args",
                {sig::arg("func").annotated("Callable[..., Any]"), sig::arg("args").annotated("tuple[Any, ...]"),
                 sig::arg("kwargs").annotated("dict[str, Any]"),
                 sig::returns("tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any], list[str]]")},
                "Uploads every argument whose estimated size reaches the threshold and returns\n"
                "(wrapper, args with None in their places, kwargs likewise, data keys); with nothing\n"
                "offloaded, (func, args, kwargs, []). Upload failures leave the argument in place.\n"
                "TypeError when args is not exactly a tuple or kwargs not exactly a dict.",
                &offload_large_args);
    sig::method(cls, "_upload",
                {sig::arg("arg"), sig::arg("label", "'Uploading data'").annotated("str"), sig::returns("Optional[str]")},
                "Pickles the argument and stores it over the first upload path that gives a data\n"
                "key; returns the key (from the cache for bytes stored before) or None.",
                &upload);
    bind_direct_upload(cls);
    bind_multipart_upload(cls);
    bind_abort_multipart(cls);
    bind_legacy_upload(cls);
    sig::method(cls, "flush_keys", {sig::arg("keys").annotated("list[str]"), sig::returns("None")},
                "Deletes each data key of the list from the data store (failures ignored) and\n"
                "forgets it as pending and in the upload cache. TypeError when keys is not a list.",
                &flush_keys);
    sig::method(cls, "flush_all", {sig::returns("None")}, "Deletes every pending data key and empties the upload cache.", &flush_all);
    ns::set("DataOffloader", cls);
}

}  // namespace brivel::spillbox
