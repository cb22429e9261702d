#include "overflow/profile/hook.hpp"

#include <frameobject.h>

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/profile/user_code.hpp"

namespace brivel::overflow {
namespace {

PyObject* g_hook_function = nullptr;  // the function behind every bound `_profile_hook`

enum class Event { Call, Return, Other };

struct Keys {
    PyObject *running, *overloaded, *call_stack, *heavy, *scope_wrapped, *threshold, *gpu_threshold,
        *gpu_available, *cpu, *mem, *gpu, *gpu_mem, *try_wrap, *wrap_scope, *f_code, *f_back, *co_filename,
        *co_name, *co_firstlineno, *is_user_code, *filename_cache, *name, *filename, *lineno, *start_cpu, *start_mem, *start_gpu, *start_gpu_mem;
};
Keys k;

PyObject* intern(const char* s) { return PyUnicode_InternFromString(s); }

// What decides whether an event concerns user code, remembered while the monitor's
// instance dict, its class and its filename memo are unchanged (dict version tags are
// unique for the process, so a stale entry can never match). The hook then answers most
// events with a few pointer comparisons instead of dict look-ups.
struct FilterCache {
    PyObject* dict = nullptr;  // identity only
    uint64_t dict_version = 0;
    PyTypeObject* type = nullptr;
    unsigned int type_version = 0;
    int running = -1;           // the truth of _running when it is a bool, else -1
    bool memo_usable = false;   // _is_user_code is the class's own and the memo an exact dict
    PyObject* memo = nullptr;   // borrowed from the dict while it is unchanged
    // The fields every event of user code reads, borrowed from the unchanged dict.
    static constexpr int kHot = 10;
    PyObject* hot_keys[kHot] = {};
    PyObject* hot_values[kHot] = {};
    struct Entry {
        PyObject* filename = nullptr;  // strong, so the address cannot be reused
        uint64_t memo_version = 0;
        int verdict = 0;
    } entries[64];
};
FilterCache g_filter;

uint64_t version_of(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }


// New reference to a monitor field, from the instance dict; attribute look-up otherwise
// (which also gives the AttributeError of a missing field).
PyObject* field(PyObject* self, PyObject* dict, PyObject* key) {
    if (dict && dict == g_filter.dict && version_of(dict) == g_filter.dict_version) {
        for (int i = 0; i < FilterCache::kHot; ++i)
            if (g_filter.hot_keys[i] == key && g_filter.hot_values[i]) return Py_NewRef(g_filter.hot_values[i]);
    }
    if (dict) {
        PyObject* v = PyDict_GetItemWithError(dict, key);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    }
    return PyObject_GetAttr(self, key);
}

int truth(PyObject* self, PyObject* dict, PyObject* key) {
    PyObject* v = field(self, dict, key);
    if (!v) return -1;
    int t = PyObject_IsTrue(v);
    Py_DECREF(v);
    return t;
}

PyObject* frame_code(PyObject* frame) {
    if (PyFrame_Check(frame)) return reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame)));
    return PyObject_GetAttr(frame, k.f_code);
}

// A code object's field, read from the struct for real code objects.
PyObject* code_attr(PyObject* code, PyObject* key) {
    if (PyCode_Check(code)) {
        auto* c = reinterpret_cast<PyCodeObject*>(code);
        if (key == k.co_filename) return Py_NewRef(c->co_filename);
        if (key == k.co_name) return Py_NewRef(c->co_name);
        if (key == k.co_firstlineno) return PyLong_FromLong(c->co_firstlineno);
    }
    return PyObject_GetAttr(code, key);
}

// Makes a record {"name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem"}.
PyObject* make_record(PyObject* self, PyObject* dict, PyObject* code, PyObject* filename) {
    PyObject* rec = _PyDict_NewPresized(7);
    if (!rec) return nullptr;
    auto put = [&](PyObject* key, PyObject* value) {
        if (!value) return false;
        int r = PyDict_SetItem(rec, key, value);
        Py_DECREF(value);
        return r == 0;
    };
    bool ok = put(k.name, code_attr(code, k.co_name)) && put(k.filename, Py_NewRef(filename)) &&
              put(k.lineno, code_attr(code, k.co_firstlineno)) && put(k.start_cpu, field(self, dict, k.cpu)) &&
              put(k.start_mem, field(self, dict, k.mem)) && put(k.start_gpu, field(self, dict, k.gpu)) &&
              put(k.start_gpu_mem, field(self, dict, k.gpu_mem));
    if (!ok) Py_CLEAR(rec);
    return rec;
}

// self._try_wrap_from_frame(frame), then the once-per-episode wrap of the caller's scope.
int wrap_from(PyObject* self, PyObject* dict, PyObject* frame) {
    PyObject* r = PyObject_CallMethodOneArg(self, k.try_wrap, frame);
    if (!r) return -1;
    Py_DECREF(r);
    int done = truth(self, dict, k.scope_wrapped);
    if (done) return done < 0 ? -1 : 0;
    PyObject* back = PyObject_GetAttr(frame, k.f_back);
    if (!back) return -1;
    if (back == Py_None) {
        Py_DECREF(back);
        return 0;
    }
    r = PyObject_CallMethodOneArg(self, k.wrap_scope, back);
    Py_DECREF(back);
    if (!r) return -1;
    Py_DECREF(r);
    return PyObject_SetAttr(self, k.scope_wrapped, Py_True);
}

// `recorded <= limit` for one key of the record; -1 on error.
int within(PyObject* rec, PyObject* key, PyObject* limit) {
    PyObject* v = PyObject_GetItem(rec, key);
    if (!v) return -1;
    if (PyFloat_CheckExact(v) && PyFloat_CheckExact(limit)) {  // the usual figures
        int r = PyFloat_AS_DOUBLE(v) <= PyFloat_AS_DOUBLE(limit);
        Py_DECREF(v);
        return r;
    }
    int r = PyObject_RichCompareBool(v, limit, Py_LE);
    Py_DECREF(v);
    return r;
}

int started_ok(PyObject* self, PyObject* dict, PyObject* rec) {
    PyObject* limit = field(self, dict, k.threshold);
    if (!limit) return -1;
    int ok = within(rec, k.start_cpu, limit);
    if (ok == 1) ok = within(rec, k.start_mem, limit);
    Py_DECREF(limit);
    if (ok != 1) return ok;
    int gpu = truth(self, dict, k.gpu_available);
    if (gpu <= 0) return gpu < 0 ? -1 : 1;
    limit = field(self, dict, k.gpu_threshold);
    if (!limit) return -1;
    ok = within(rec, k.start_gpu, limit);
    if (ok == 1) ok = within(rec, k.start_gpu_mem, limit);
    Py_DECREF(limit);
    return ok;
}

PyObject* pop_record(PyObject* stack) {
    if (PyList_CheckExact(stack)) {
        Py_ssize_t n = PyList_GET_SIZE(stack);
        if (n == 0) return Py_NewRef(Py_None);
        // list.pop() without its call: the last slot's reference moves to the caller.
        PyObject* rec = PyList_GET_ITEM(stack, n - 1);
        Py_SET_SIZE(stack, n - 1);
        return rec;
    }
    int empty = PyObject_Not(stack);
    if (empty) return empty < 0 ? nullptr : Py_NewRef(Py_None);
    return PyObject_CallMethod(stack, "pop", nullptr);
}

int on_return(PyObject* self, PyObject* dict, PyObject* frame) {
    PyObject* stack = field(self, dict, k.call_stack);
    if (!stack) return -1;
    PyObject* rec = pop_record(stack);
    Py_DECREF(stack);
    if (!rec || rec == Py_None) {
        Py_XDECREF(rec);
        return rec ? 0 : -1;
    }
    int heavy = started_ok(self, dict, rec);
    if (heavy == 1) heavy = truth(self, dict, k.overloaded);
    if (heavy != 1) {
        Py_DECREF(rec);
        return heavy;
    }
    try {
        py::object record = py::reinterpret_steal<py::object>(rec);
        py::object name = record[py::handle(k.name)], file = record[py::handle(k.filename)],
                   line = record[py::handle(k.lineno)];
        py::handle(self).attr("_heavy_signatures").attr("add")(py::make_tuple(name, file, line));
        if (wrap_from(self, dict, frame) < 0) throw py::error_already_set();
        log("warning", "Heavy function detected: %s() at %s:%d \u2014 wrapped for cloud offload", name, file, line);
    } catch (py::error_already_set& e) {
        e.restore();
        return -1;
    }
    return 0;
}

int on_call(PyObject* self, PyObject* dict, PyObject* frame, PyObject* code, PyObject* filename) {
    PyObject* rec = make_record(self, dict, code, filename);
    if (!rec) return -1;
    PyObject* stack = field(self, dict, k.call_stack);
    int r = -1;
    if (stack) {
        if (PyList_CheckExact(stack)) {
            r = PyList_Append(stack, rec);
        } else {
            PyObject* res = PyObject_CallMethod(stack, "append", "O", rec);
            r = res ? 0 : -1;
            Py_XDECREF(res);
        }
        Py_DECREF(stack);
    }
    Py_DECREF(rec);
    if (r < 0) return -1;
    int over = truth(self, dict, k.overloaded);
    if (over <= 0) return over;
    return wrap_from(self, dict, frame);
}

bool filter_current(PyObject* self, PyObject* dict) {
    PyTypeObject* t = Py_TYPE(self);
    return dict == g_filter.dict && version_of(dict) == g_filter.dict_version && t == g_filter.type &&
           (t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && t->tp_version_tag == g_filter.type_version;
}

// Refreshes the cache from the instance dict; false when it cannot be used for this event.
bool refresh_filter(PyObject* self, PyObject* dict) {
    g_filter.dict = nullptr;
    PyObject* running = PyDict_GetItemWithError(dict, k.running);
    if (!running) return false;
    PyObject* override_ = PyDict_GetItemWithError(dict, k.is_user_code);
    if (!override_ && PyErr_Occurred()) return false;
    PyTypeObject* t = Py_TYPE(self);
    bool own = !override_ && user_code_is_own(t);
    PyObject* memo = PyDict_GetItemWithError(dict, k.filename_cache);
    if (!memo && PyErr_Occurred()) return false;
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    g_filter.running = running == Py_True ? 1 : running == Py_False ? 0 : -1;
    g_filter.memo_usable = own && memo && PyDict_CheckExact(memo);
    g_filter.memo = memo;
    PyObject* hot[FilterCache::kHot] = {k.running, k.call_stack, k.overloaded, k.gpu_available, k.threshold,
                                        k.gpu_threshold, k.cpu, k.mem, k.gpu, k.gpu_mem};
    for (int i = 0; i < FilterCache::kHot; ++i) {
        g_filter.hot_keys[i] = hot[i];
        g_filter.hot_values[i] = PyDict_GetItemWithError(dict, hot[i]);  // null: read the slow way
        if (PyErr_Occurred()) return false;
    }
    g_filter.type = t;
    g_filter.type_version = t->tp_version_tag;
    g_filter.dict_version = version_of(dict);
    g_filter.dict = dict;
    return true;
}

// 1 when the event concerns user code of a running monitor, 0 when not, -1 on error.
int wanted(PyObject* self, PyObject* dict, PyObject* filename) {
    bool cached = dict && PyDict_Check(dict) && (filter_current(self, dict) || refresh_filter(self, dict));
    if (PyErr_Occurred()) return -1;
    int running = cached ? g_filter.running : -1;
    if (running < 0) running = truth(self, dict, k.running);
    if (running <= 0) return running;
    FilterCache::Entry* e = nullptr;
    if (cached && g_filter.memo_usable) {
        e = &g_filter.entries[(reinterpret_cast<uintptr_t>(filename) >> 4) & 63];
        if (e->filename == filename && e->memo_version == version_of(g_filter.memo)) return e->verdict;
    }
    int verdict = user_code(self, dict, filename);
    // Remember it only when it now stands in the memo and nothing else changed meanwhile.
    if (verdict >= 0 && e && filter_current(self, dict)) {
        PyObject* stored = PyDict_GetItemWithError(g_filter.memo, filename);
        if (stored == Py_True || stored == Py_False) {
            Py_INCREF(filename);
            Py_XSETREF(e->filename, filename);
            e->memo_version = version_of(g_filter.memo);
            e->verdict = stored == Py_True;
        }
        if (PyErr_Occurred()) return -1;
    }
    return verdict;
}

// One profile event; 0, or -1 with a Python error set.
int on_event(PyObject* self, PyObject* frame, Event event) {
    PyObject* dict = PyObject_GenericGetDict(self, nullptr);
    if (!dict) {
        PyErr_Clear();  // no instance dict: fields come through attribute look-up
    }
    int result = -1;
    PyObject *code = nullptr, *filename = nullptr;
    code = frame_code(frame);
    if (!code) goto done;
    filename = code_attr(code, k.co_filename);
    if (!filename) goto done;
    {
        int go = wanted(self, dict, filename);
        if (go <= 0) {
            result = go;
            goto done;
        }
    }
    if (event == Event::Call)
        result = on_call(self, dict, frame, code, filename);
    else if (event == Event::Return)
        result = on_return(self, dict, frame);
    else
        result = 0;
done:
    Py_XDECREF(filename);
    Py_XDECREF(code);
    Py_XDECREF(dict);
    return result;
}

// The C profile function. Like the interpreter's own trampoline, an error removes the
// profile function from the thread before the error reaches the profiled code.
int native_hook(PyObject* obj, PyFrameObject* frame, int what, PyObject*) {
    if (!PyMethod_Check(obj)) return 0;
    Event ev = what == PyTrace_CALL ? Event::Call : what == PyTrace_RETURN ? Event::Return : Event::Other;
    if (on_event(PyMethod_GET_SELF(obj), reinterpret_cast<PyObject*>(frame), ev) < 0) {
        PyEval_SetProfile(nullptr, nullptr);
        return -1;
    }
    return 0;
}

void profile_hook(py::object self, const sig::Bound& a) {
    args::exact_str(a[1], "event");
    std::string event = py::cast<std::string>(a[1]);
    Event ev = event == "call" ? Event::Call : event == "return" ? Event::Return : Event::Other;
    if (on_event(self.ptr(), a[0].ptr(), ev) < 0) throw py::error_already_set();
}

// The benchmark's floor: the least any C profile function costs the profiled thread.
int floor_profile(PyObject*, PyFrameObject*, int, PyObject*) { return 0; }

void install_floor_profile(py::object, const sig::Bound&) { PyEval_SetProfile(&floor_profile, nullptr); }

bool is_native_hook(py::handle fn) {
    return PyMethod_Check(fn.ptr()) && PyMethod_GET_FUNCTION(fn.ptr()) == g_hook_function;
}

}  // namespace

void bind_profile_hook(py::handle cls) {
    sig::method(cls, "_profile_hook", {sig::arg("frame"), sig::arg("event"), sig::arg("arg")},
                "Profile function of the starting thread: records calls of user functions and wraps\n"
                "those entered while overloaded, and heavy ones as they return.",
                &profile_hook);
    sig::method(cls, "_profile_floor", {},
                "For bench/overflow.py only, never used by the monitor: makes a C profile function\n"
                "that returns at once the calling thread's profile function (sys.setprofile(None)\n"
                "removes it), the floor against which the hook's cost is measured.",
                &install_floor_profile);
    g_hook_function = py::detail::get_function(cls.attr("__dict__")["_profile_hook"]).inc_ref().ptr();
    k = Keys{intern("_running"), intern("_overloaded"), intern("_call_stack"), intern("_heavy_signatures"),
             intern("_scope_wrapped"), intern("threshold"), intern("gpu_threshold"), intern("_gpu_available"),
             intern("_cpu_usage"), intern("_mem_usage"), intern("_gpu_util"), intern("_gpu_mem_util"),
             intern("_try_wrap_from_frame"), intern("_wrap_scope"), intern("f_code"), intern("f_back"),
             intern("co_filename"), intern("co_name"), intern("co_firstlineno"), intern("_is_user_code"),
             intern("_filename_cache"), intern("name"), intern("filename"),
             intern("lineno"), intern("start_cpu"), intern("start_mem"), intern("start_gpu"), intern("start_gpu_mem")};
}

void set_profile(py::handle fn) {
    if (fn.is_none()) {
        PyEval_SetProfile(nullptr, nullptr);
    } else if (is_native_hook(fn)) {
        PyEval_SetProfile(&native_hook, fn.ptr());
    } else {
        ns::get("sys").attr("setprofile")(fn);
    }
}

py::object get_profile() { return ns::get("sys").attr("getprofile")(); }

}  // namespace brivel::overflow
