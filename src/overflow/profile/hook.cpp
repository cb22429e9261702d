#include "overflow/profile/hook.hpp"

#include <frameobject.h>

#include <iterator>
#include <utility>

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/cpython_internals.hpp"
#include "overflow/profile/user_code.hpp"
#include "overflow/state.hpp"

namespace brivel::overflow {
namespace {

enum class Event { Call, Return, Other };

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

Ref frame_code(const Keys& k, PyObject* frame) {
    if (PyFrame_Check(frame))
        return steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
    return steal(PyObject_GetAttr(frame, k.f_code.ptr()));
}

// A code object's fields, read from the struct for real code objects.
Ref code_filename(const Keys& k, PyObject* code) {
    if (PyCode_Check(code)) return borrow(internals::code_filename(code));
    return steal(PyObject_GetAttr(code, k.co_filename.ptr()));
}

Ref code_name(const Keys& k, PyObject* code) {
    if (PyCode_Check(code)) return borrow(internals::code_name(code));
    return steal(PyObject_GetAttr(code, k.co_name.ptr()));
}

Ref code_firstlineno(const Keys& k, PyObject* code) {
    if (PyCode_Check(code)) return steal(PyLong_FromLong(internals::code_firstlineno(code)));
    return steal(PyObject_GetAttr(code, k.co_firstlineno.ptr()));
}

// `recorded <= limit` for one key of the record; -1 on error.
int within(PyObject* rec, py::handle key, PyObject* limit) {
    Ref v = steal(PyObject_GetItem(rec, key.ptr()));
    if (!v) return -1;
    if (PyFloat_CheckExact(v.ptr()) && PyFloat_CheckExact(limit))  // the usual figures
        return PyFloat_AS_DOUBLE(v.ptr()) <= PyFloat_AS_DOUBLE(limit);
    return PyObject_RichCompareBool(v.ptr(), limit, Py_LE);
}

// self._call_stack.pop(), or None when it is empty.
Ref pop_record(PyObject* stack) {
    if (PyList_CheckExact(stack))
        return PyList_GET_SIZE(stack) ? steal(internals::list_pop(stack)) : borrow(Py_None);
    int empty = PyObject_Not(stack);
    if (empty) return empty < 0 ? Ref() : borrow(Py_None);
    return steal(PyObject_CallMethod(stack, "pop", nullptr));
}

// The keys of the hot fields, in their order.
constexpr py::str Keys::*kHotKeys[] = {&Keys::running,       &Keys::call_stack, &Keys::overloaded,
                                       &Keys::gpu_available, &Keys::threshold,  &Keys::gpu_threshold,
                                       &Keys::cpu_usage,     &Keys::mem_usage,  &Keys::gpu_util,
                                       &Keys::gpu_mem_util};
static_assert(std::size(kHotKeys) == static_cast<std::size_t>(Hot::count));

// One event's monitor: the instance and its dict, or null when it has none (fields then
// come through attribute look-up), with the module's key table and filter cache.
class Monitor {
  public:
    Monitor(ModuleState& st, PyObject* self, PyObject* dict)
        : k(st.keys), filter_(st.filter), self_(self), dict_(dict) {}

    // 1 when the event concerns user code of a running monitor, 0 when not, -1 on error.
    int wanted(PyObject* filename);
    int on_call(PyObject* frame, PyObject* code, PyObject* filename);
    int on_return(PyObject* frame);

  private:
    // A monitor field, from the instance dict; attribute look-up otherwise (which also
    // gives the AttributeError of a missing field).
    Ref field(py::handle key) const;
    Ref field(Hot hot) const;
    int truth(py::handle key) const;
    int truth(Hot hot) const;
    Ref make_record(PyObject* code, PyObject* filename) const;
    int wrap_from(PyObject* frame) const;
    int started_ok(PyObject* rec) const;
    bool filter_current() const;
    int refresh_filter() const;

    const Keys& k;
    FilterCache& filter_;
    PyObject* self_;
    PyObject* dict_;
};

Ref Monitor::field(py::handle key) const {
    if (dict_) {
        PyObject* v = PyDict_GetItemWithError(dict_, key.ptr());
        if (v) return borrow(v);
        if (PyErr_Occurred()) return {};
    }
    return steal(PyObject_GetAttr(self_, key.ptr()));
}

Ref Monitor::field(Hot hot) const {
    if (dict_ && dict_ == filter_.dict && internals::dict_version(dict_) == filter_.dict_version) {
        if (PyObject* v = filter_.hot[static_cast<int>(hot)]) return borrow(v);
    }
    return field(k.*kHotKeys[static_cast<int>(hot)]);
}

int Monitor::truth(py::handle key) const {
    Ref v = field(key);
    return v ? PyObject_IsTrue(v.ptr()) : -1;
}

int Monitor::truth(Hot hot) const {
    Ref v = field(hot);
    return v ? PyObject_IsTrue(v.ptr()) : -1;
}

// A call record {"name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem"}.
Ref Monitor::make_record(PyObject* code, PyObject* filename) const {
    Ref rec = steal(internals::new_dict(7));
    auto put = [&](py::handle key, const Ref& value) {
        return value && PyDict_SetItem(rec.ptr(), key.ptr(), value.ptr()) == 0;
    };
    bool ok = rec && put(k.name, code_name(k, code)) && put(k.filename, borrow(filename)) &&
              put(k.lineno, code_firstlineno(k, code)) && put(k.start_cpu, field(Hot::cpu_usage)) &&
              put(k.start_mem, field(Hot::mem_usage)) && put(k.start_gpu, field(Hot::gpu_util)) &&
              put(k.start_gpu_mem, field(Hot::gpu_mem_util));
    if (!ok) return {};
    return rec;
}

// self._try_wrap_from_frame(frame), then the once-per-episode wrap of the caller's scope.
int Monitor::wrap_from(PyObject* frame) const {
    if (!steal(PyObject_CallMethodOneArg(self_, k.try_wrap_from_frame.ptr(), frame))) return -1;
    int done = truth(k.scope_wrapped);
    if (done) return done < 0 ? -1 : 0;
    Ref back = steal(PyObject_GetAttr(frame, k.f_back.ptr()));
    if (!back) return -1;
    if (back.is_none()) return 0;
    if (!steal(PyObject_CallMethodOneArg(self_, k.wrap_scope.ptr(), back.ptr()))) return -1;
    return PyObject_SetAttr(self_, k.scope_wrapped.ptr(), Py_True);
}

// Whether the call started below the thresholds: 1, 0, or -1 on error.
int Monitor::started_ok(PyObject* rec) const {
    Ref limit = field(Hot::threshold);
    if (!limit) return -1;
    int ok = within(rec, k.start_cpu, limit.ptr());
    if (ok == 1) ok = within(rec, k.start_mem, limit.ptr());
    if (ok != 1) return ok;
    int gpu = truth(Hot::gpu_available);
    if (gpu <= 0) return gpu < 0 ? -1 : 1;
    limit = field(Hot::gpu_threshold);
    if (!limit) return -1;
    ok = within(rec, k.start_gpu, limit.ptr());
    if (ok == 1) ok = within(rec, k.start_gpu_mem, limit.ptr());
    return ok;
}

int Monitor::on_return(PyObject* frame) {
    Ref stack = field(Hot::call_stack);
    if (!stack) return -1;
    Ref record = pop_record(stack.ptr());
    if (!record) return -1;
    if (record.is_none()) return 0;
    int heavy = started_ok(record.ptr());
    if (heavy == 1) heavy = truth(Hot::overloaded);
    if (heavy != 1) return heavy;
    try {
        py::handle rec(record.ptr());
        py::object name = rec[k.name], file = rec[k.filename], line = rec[k.lineno];
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
    Ref stack = field(Hot::call_stack);
    if (!stack) return -1;
    if (PyList_CheckExact(stack.ptr())) {
        if (PyList_Append(stack.ptr(), rec.ptr()) < 0) return -1;
    } else if (!steal(PyObject_CallMethod(stack.ptr(), "append", "O", rec.ptr()))) {
        return -1;
    }
    int over = truth(Hot::overloaded);
    if (over <= 0) return over;
    return wrap_from(frame);
}

bool Monitor::filter_current() const {
    PyTypeObject* t = Py_TYPE(self_);
    unsigned int tag;
    return dict_ == filter_.dict && internals::dict_version(dict_) == filter_.dict_version && t == filter_.type &&
           internals::type_version(t, &tag) && tag == filter_.type_version;
}

// Refreshes the cache from the instance dict: 1, or 0 when it cannot be used for this
// event, or -1 on error.
int Monitor::refresh_filter() const {
    filter_.dict = nullptr;
    PyObject* running = PyDict_GetItemWithError(dict_, k.running.ptr());
    if (!running) return PyErr_Occurred() ? -1 : 0;
    PyObject* override_ = PyDict_GetItemWithError(dict_, k.is_user_code.ptr());
    if (!override_ && PyErr_Occurred()) return -1;
    PyTypeObject* t = Py_TYPE(self_);
    bool own = !override_ && user_code_is_own(t);
    PyObject* memo = PyDict_GetItemWithError(dict_, k.filename_cache.ptr());
    if (!memo && PyErr_Occurred()) return -1;
    unsigned int type_version;
    if (!internals::type_version(t, &type_version)) return 0;
    filter_.running = running == Py_True ? 1 : running == Py_False ? 0 : -1;
    filter_.memo_usable = own && memo && PyDict_CheckExact(memo);
    filter_.memo = memo;
    for (int i = 0; i < static_cast<int>(Hot::count); ++i) {
        filter_.hot[i] = PyDict_GetItemWithError(dict_, (k.*kHotKeys[i]).ptr());
        if (PyErr_Occurred()) return -1;
    }
    filter_.type = t;
    filter_.type_version = type_version;
    filter_.dict_version = internals::dict_version(dict_);
    filter_.dict = dict_;
    return 1;
}

int Monitor::wanted(PyObject* filename) {
    int cached = !dict_ || !PyDict_Check(dict_) ? 0 : filter_current() ? 1 : refresh_filter();
    if (cached < 0) return -1;
    int running = cached ? filter_.running : -1;
    if (running < 0) running = truth(Hot::running);
    if (running <= 0) return running;
    FilterCache::Entry* e = nullptr;
    if (cached && filter_.memo_usable) {
        e = &filter_.entries[(reinterpret_cast<uintptr_t>(filename) >> 4) & 63];
        if (e->filename.ptr() == filename && e->memo_version == internals::dict_version(filter_.memo))
            return e->verdict;
    }
    int verdict = user_code(self_, dict_, filename);
    // Remember it only when it now stands in the memo and nothing else changed meanwhile.
    if (verdict >= 0 && e && filter_current()) {
        PyObject* stored = PyDict_GetItemWithError(filter_.memo, filename);
        if (stored == Py_True || stored == Py_False) {
            e->filename = py::reinterpret_borrow<py::object>(filename);
            e->memo_version = internals::dict_version(filter_.memo);
            e->verdict = stored == Py_True;
        }
        if (PyErr_Occurred()) return -1;
    }
    return verdict;
}

// One profile event; 0, or -1 with a Python error set.
int on_event(PyObject* self, PyObject* frame, Event event) {
    ModuleState& st = state();
    Ref dict = steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) PyErr_Clear();  // no instance dict: fields come through attribute look-up
    Ref code = frame_code(st.keys, frame);
    if (!code) return -1;
    Ref filename = code_filename(st.keys, code.ptr());
    if (!filename) return -1;
    Monitor monitor(st, self, dict.ptr());
    int go = monitor.wanted(filename.ptr());
    if (go <= 0) return go;
    switch (event) {
        case Event::Call: return monitor.on_call(frame, code.ptr(), filename.ptr());
        case Event::Return: return monitor.on_return(frame);
        case Event::Other: break;
    }
    return 0;
}

// The C profile function, installed by set_profile() for the hook of a completed module
// body only. Like the interpreter's own trampoline, an error removes the profile function
// from the thread before the error reaches the profiled code.
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
    args::exact_str(a["event"], "event");
    std::string event = py::cast<std::string>(a["event"]);
    Event ev = event == "call" ? Event::Call : event == "return" ? Event::Return : Event::Other;
    filled_state();  // a hook kept from a failed module body has nothing to read
    if (on_event(self.ptr(), a["frame"].ptr(), ev) < 0) throw py::error_already_set();
}

bool is_native_hook(py::handle fn) {
    return PyMethod_Check(fn.ptr()) && PyMethod_GET_FUNCTION(fn.ptr()) == state().hook_function.ptr();
}

}  // namespace

void bind_profile_hook(py::handle cls) {
    sig::method(cls, "_profile_hook", {sig::arg("frame"), sig::arg("event"), sig::arg("arg")},
                "Profile function of the starting thread: records calls of user functions and wraps\n"
                "those entered while overloaded, and heavy ones as they return.",
                &profile_hook);
    py::handle hook = py::detail::get_function(cls.attr("__dict__")["_profile_hook"]);
    state().hook_function = py::reinterpret_borrow<py::object>(hook);
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
