#include "overflow/profile/hook.hpp"

#include <frameobject.h>

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/profile/cpython_internals.hpp"
#include "overflow/profile/user_code.hpp"

namespace brivel::overflow {
namespace {

PyObject* g_hook_function = nullptr;  // the function behind every bound `_profile_hook`

enum class Event { Call, Return, Other };

// Interned names of what the hook reads, made once and kept for the process.
struct Keys {
    // The monitor's fields and methods.
    PyObject *running, *overloaded, *call_stack, *scope_wrapped, *filename_cache;
    PyObject *threshold, *gpu_threshold, *gpu_available, *cpu_usage, *mem_usage, *gpu_util, *gpu_mem_util;
    PyObject *try_wrap_from_frame, *wrap_scope, *is_user_code;
    // Attributes of frames and code objects that are not the interpreter's own.
    PyObject *f_code, *f_back, *co_filename, *co_name, *co_firstlineno;
    // A call record's keys, in the record's order.
    PyObject *name, *filename, *lineno, *start_cpu, *start_mem, *start_gpu, *start_gpu_mem;
};
Keys k;

PyObject* interned(const char* s) { return intern(s).release().ptr(); }

// What decides whether an event concerns user code, remembered while the monitor's
// instance dict, its class and its filename memo are unchanged (their version tags change
// with every change and are never reused, so a stale entry can never match). The hook then
// answers most events with a few pointer comparisons instead of dict look-ups.
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

// An owned reference on the hook's path. py::object's release stops being inlined once the
// hook's functions are inlined into one, and costs every event a call; this one's always is.
class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    [[gnu::always_inline]] ~Ref() { Py_XDECREF(p_); }
    PyObject* ptr() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool is_none() const { return p_ == Py_None; }

  private:
    PyObject* p_ = nullptr;
};

Ref steal(PyObject* p) { return Ref(p); }
Ref borrow(PyObject* p) { return Ref(Py_NewRef(p)); }  // never null

// Hook functions keep the C API's convention, since the hook answers the interpreter: a
// null object or -1 means a Python error is set.

Ref frame_code(PyObject* frame) {
    if (PyFrame_Check(frame))
        return steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
    return steal(PyObject_GetAttr(frame, k.f_code));
}

// A code object's fields, read from the struct for real code objects.
Ref code_filename(PyObject* code) {
    if (PyCode_Check(code)) return borrow(reinterpret_cast<PyCodeObject*>(code)->co_filename);
    return steal(PyObject_GetAttr(code, k.co_filename));
}

Ref code_name(PyObject* code) {
    if (PyCode_Check(code)) return borrow(reinterpret_cast<PyCodeObject*>(code)->co_name);
    return steal(PyObject_GetAttr(code, k.co_name));
}

Ref code_firstlineno(PyObject* code) {
    if (PyCode_Check(code)) return steal(PyLong_FromLong(reinterpret_cast<PyCodeObject*>(code)->co_firstlineno));
    return steal(PyObject_GetAttr(code, k.co_firstlineno));
}

// `recorded <= limit` for one key of the record; -1 on error.
int within(PyObject* rec, PyObject* key, PyObject* limit) {
    Ref v = steal(PyObject_GetItem(rec, key));
    if (!v) return -1;
    if (PyFloat_CheckExact(v.ptr()) && PyFloat_CheckExact(limit))  // the usual figures
        return PyFloat_AS_DOUBLE(v.ptr()) <= PyFloat_AS_DOUBLE(limit);
    return PyObject_RichCompareBool(v.ptr(), limit, Py_LE);
}

// self._call_stack.pop(), or None when it is empty.
Ref pop_record(PyObject* stack) {
    if (PyList_CheckExact(stack)) return PyList_GET_SIZE(stack) ? steal(internals::list_pop(stack)) : borrow(Py_None);
    int empty = PyObject_Not(stack);
    if (empty) return empty < 0 ? Ref() : borrow(Py_None);
    return steal(PyObject_CallMethod(stack, "pop", nullptr));
}

// One event's monitor: the instance and its dict, or null when it has none (fields then
// come through attribute look-up).
class Monitor {
  public:
    Monitor(PyObject* self, PyObject* dict) : self_(self), dict_(dict) {}

    // 1 when the event concerns user code of a running monitor, 0 when not, -1 on error.
    int wanted(PyObject* filename);
    int on_call(PyObject* frame, PyObject* code, PyObject* filename);
    int on_return(PyObject* frame);

  private:
    // A monitor field, from the instance dict; attribute look-up otherwise (which also
    // gives the AttributeError of a missing field).
    Ref field(PyObject* key) const;
    int truth(PyObject* key) const;
    Ref make_record(PyObject* code, PyObject* filename) const;
    int wrap_from(PyObject* frame) const;
    int started_ok(PyObject* rec) const;
    bool filter_current() const;
    int refresh_filter() const;

    PyObject* self_;
    PyObject* dict_;
};

Ref Monitor::field(PyObject* key) const {
    if (dict_ && dict_ == g_filter.dict && internals::dict_version(dict_) == g_filter.dict_version) {
        for (int i = 0; i < FilterCache::kHot; ++i)
            if (g_filter.hot_keys[i] == key && g_filter.hot_values[i]) return borrow(g_filter.hot_values[i]);
    }
    if (dict_) {
        PyObject* v = PyDict_GetItemWithError(dict_, key);
        if (v) return borrow(v);
        if (PyErr_Occurred()) return {};
    }
    return steal(PyObject_GetAttr(self_, key));
}

int Monitor::truth(PyObject* key) const {
    Ref v = field(key);
    return v ? PyObject_IsTrue(v.ptr()) : -1;
}

// A call record {"name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem"}.
Ref Monitor::make_record(PyObject* code, PyObject* filename) const {
    Ref rec = steal(internals::new_dict(7));
    auto put = [&](PyObject* key, const Ref& value) {
        return value && PyDict_SetItem(rec.ptr(), key, value.ptr()) == 0;
    };
    bool ok = rec && put(k.name, code_name(code)) && put(k.filename, borrow(filename)) &&
              put(k.lineno, code_firstlineno(code)) && put(k.start_cpu, field(k.cpu_usage)) &&
              put(k.start_mem, field(k.mem_usage)) && put(k.start_gpu, field(k.gpu_util)) &&
              put(k.start_gpu_mem, field(k.gpu_mem_util));
    if (!ok) return {};
    return rec;
}

// self._try_wrap_from_frame(frame), then the once-per-episode wrap of the caller's scope.
int Monitor::wrap_from(PyObject* frame) const {
    if (!steal(PyObject_CallMethodOneArg(self_, k.try_wrap_from_frame, frame))) return -1;
    int done = truth(k.scope_wrapped);
    if (done) return done < 0 ? -1 : 0;
    Ref back = steal(PyObject_GetAttr(frame, k.f_back));
    if (!back) return -1;
    if (back.is_none()) return 0;
    if (!steal(PyObject_CallMethodOneArg(self_, k.wrap_scope, back.ptr()))) return -1;
    return PyObject_SetAttr(self_, k.scope_wrapped, Py_True);
}

// Whether the call started below the thresholds: 1, 0, or -1 on error.
int Monitor::started_ok(PyObject* rec) const {
    Ref limit = field(k.threshold);
    if (!limit) return -1;
    int ok = within(rec, k.start_cpu, limit.ptr());
    if (ok == 1) ok = within(rec, k.start_mem, limit.ptr());
    if (ok != 1) return ok;
    int gpu = truth(k.gpu_available);
    if (gpu <= 0) return gpu < 0 ? -1 : 1;
    limit = field(k.gpu_threshold);
    if (!limit) return -1;
    ok = within(rec, k.start_gpu, limit.ptr());
    if (ok == 1) ok = within(rec, k.start_gpu_mem, limit.ptr());
    return ok;
}

int Monitor::on_return(PyObject* frame) {
    Ref stack = field(k.call_stack);
    if (!stack) return -1;
    Ref record = pop_record(stack.ptr());
    if (!record) return -1;
    if (record.is_none()) return 0;
    int heavy = started_ok(record.ptr());
    if (heavy == 1) heavy = truth(k.overloaded);
    if (heavy != 1) return heavy;
    try {
        py::handle rec(record.ptr());
        py::object name = rec[py::handle(k.name)], file = rec[py::handle(k.filename)],
                   line = rec[py::handle(k.lineno)];
        py::handle(self_).attr("_heavy_signatures").attr("add")(py::make_tuple(name, file, line));
        if (wrap_from(frame) < 0) throw py::error_already_set();
        log("warning", "Heavy function detected: %s() at %s:%d \u2014 wrapped for cloud offload", name, file, line);
    } catch (py::error_already_set& e) {
        e.restore();
        return -1;
    }
    return 0;
}

int Monitor::on_call(PyObject* frame, PyObject* code, PyObject* filename) {
    Ref rec = make_record(code, filename);
    if (!rec) return -1;
    Ref stack = field(k.call_stack);
    if (!stack) return -1;
    if (PyList_CheckExact(stack.ptr())) {
        if (PyList_Append(stack.ptr(), rec.ptr()) < 0) return -1;
    } else if (!steal(PyObject_CallMethod(stack.ptr(), "append", "O", rec.ptr()))) {
        return -1;
    }
    int over = truth(k.overloaded);
    if (over <= 0) return over;
    return wrap_from(frame);
}

bool Monitor::filter_current() const {
    PyTypeObject* t = Py_TYPE(self_);
    unsigned int tag;
    return dict_ == g_filter.dict && internals::dict_version(dict_) == g_filter.dict_version && t == g_filter.type &&
           internals::type_version(t, &tag) && tag == g_filter.type_version;
}

// Refreshes the cache from the instance dict: 1, or 0 when it cannot be used for this
// event, or -1 on error.
int Monitor::refresh_filter() const {
    g_filter.dict = nullptr;
    PyObject* running = PyDict_GetItemWithError(dict_, k.running);
    if (!running) return PyErr_Occurred() ? -1 : 0;
    PyObject* override_ = PyDict_GetItemWithError(dict_, k.is_user_code);
    if (!override_ && PyErr_Occurred()) return -1;
    PyTypeObject* t = Py_TYPE(self_);
    bool own = !override_ && user_code_is_own(t);
    PyObject* memo = PyDict_GetItemWithError(dict_, k.filename_cache);
    if (!memo && PyErr_Occurred()) return -1;
    unsigned int type_version;
    if (!internals::type_version(t, &type_version)) return 0;
    g_filter.running = running == Py_True ? 1 : running == Py_False ? 0 : -1;
    g_filter.memo_usable = own && memo && PyDict_CheckExact(memo);
    g_filter.memo = memo;
    PyObject* hot[FilterCache::kHot] = {k.running,   k.call_stack,    k.overloaded, k.gpu_available, k.threshold,
                                        k.gpu_threshold, k.cpu_usage, k.mem_usage,  k.gpu_util,      k.gpu_mem_util};
    for (int i = 0; i < FilterCache::kHot; ++i) {
        g_filter.hot_keys[i] = hot[i];
        g_filter.hot_values[i] = PyDict_GetItemWithError(dict_, hot[i]);  // null: read the slow way
        if (PyErr_Occurred()) return -1;
    }
    g_filter.type = t;
    g_filter.type_version = type_version;
    g_filter.dict_version = internals::dict_version(dict_);
    g_filter.dict = dict_;
    return 1;
}

int Monitor::wanted(PyObject* filename) {
    int cached = !dict_ || !PyDict_Check(dict_) ? 0 : filter_current() ? 1 : refresh_filter();
    if (cached < 0) return -1;
    int running = cached ? g_filter.running : -1;
    if (running < 0) running = truth(k.running);
    if (running <= 0) return running;
    FilterCache::Entry* e = nullptr;
    if (cached && g_filter.memo_usable) {
        e = &g_filter.entries[(reinterpret_cast<uintptr_t>(filename) >> 4) & 63];
        if (e->filename == filename && e->memo_version == internals::dict_version(g_filter.memo)) return e->verdict;
    }
    int verdict = user_code(self_, dict_, filename);
    // Remember it only when it now stands in the memo and nothing else changed meanwhile.
    if (verdict >= 0 && e && filter_current()) {
        PyObject* stored = PyDict_GetItemWithError(g_filter.memo, filename);
        if (stored == Py_True || stored == Py_False) {
            Py_XSETREF(e->filename, Py_NewRef(filename));
            e->memo_version = internals::dict_version(g_filter.memo);
            e->verdict = stored == Py_True;
        }
        if (PyErr_Occurred()) return -1;
    }
    return verdict;
}

// One profile event; 0, or -1 with a Python error set.
int on_event(PyObject* self, PyObject* frame, Event event) {
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) PyErr_Clear();  // no instance dict: fields come through attribute look-up
    Ref code = frame_code(frame);
    if (!code) return -1;
    Ref filename = code_filename(code.ptr());
    if (!filename) return -1;
    Monitor monitor(self, dict.ptr());
    int go = monitor.wanted(filename.ptr());
    if (go <= 0) return go;
    switch (event) {
        case Event::Call: return monitor.on_call(frame, code.ptr(), filename.ptr());
        case Event::Return: return monitor.on_return(frame);
        case Event::Other: break;
    }
    return 0;
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
    k = Keys{
        .running = interned("_running"),
        .overloaded = interned("_overloaded"),
        .call_stack = interned("_call_stack"),
        .scope_wrapped = interned("_scope_wrapped"),
        .filename_cache = interned("_filename_cache"),
        .threshold = interned("threshold"),
        .gpu_threshold = interned("gpu_threshold"),
        .gpu_available = interned("_gpu_available"),
        .cpu_usage = interned("_cpu_usage"),
        .mem_usage = interned("_mem_usage"),
        .gpu_util = interned("_gpu_util"),
        .gpu_mem_util = interned("_gpu_mem_util"),
        .try_wrap_from_frame = interned("_try_wrap_from_frame"),
        .wrap_scope = interned("_wrap_scope"),
        .is_user_code = interned("_is_user_code"),
        .f_code = interned("f_code"),
        .f_back = interned("f_back"),
        .co_filename = interned("co_filename"),
        .co_name = interned("co_name"),
        .co_firstlineno = interned("co_firstlineno"),
        .name = interned("name"),
        .filename = interned("filename"),
        .lineno = interned("lineno"),
        .start_cpu = interned("start_cpu"),
        .start_mem = interned("start_mem"),
        .start_gpu = interned("start_gpu"),
        .start_gpu_mem = interned("start_gpu_mem"),
    };
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
