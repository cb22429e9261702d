// Streams one object to disk chunk by chunk, resuming a partial file with a range request.
// The bytes already on disk are trusted only as far as the store confirms them: a 206 must
// start where the file ends and a 416 must name the file's size, else the file starts over.
#include "workspace/transfer/download.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/args.hpp"
#include "common/context.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/content_range.hpp"
#include "core/filewriter.hpp"
#include "workspace/transfer/retry.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// The bytes already in `dest`. A pipe, socket or device there is refused before any request,
// not written: opening a pipe waits for a reader, and no file would keep the bytes.
std::uint64_t size_on_disk(py::handle dest) {
    if (!args::truthy(call_method(dest, "exists"))) return 0;
    py::object st = call_method(dest, "stat");
    if (!S_ISREG(py::cast<unsigned long>(st.attr("st_mode")))) errors::raise_not_regular(fspath::encode(dest).name);
    return py::cast<std::uint64_t>(to_int(st.attr("st_size")));
}

// The answer's Content-Range, when it has one.
std::optional<std::string> content_range(py::handle resp) {
    py::object v = resp.attr("headers").attr("get")("Content-Range");
    if (v.is_none()) return std::nullopt;
    return py::cast<std::string>(to_str(v));
}

ranges::Resume verdict(py::handle resp, long status, std::uint64_t existing) {
    std::optional<std::string> cr = content_range(resp);
    std::optional<std::string_view> view;
    if (cr) view = *cr;
    return status == 206 ? ranges::after_partial(view, existing) : ranges::after_unsatisfiable(view, existing);
}

class Sink {
  public:
    Sink(py::handle dest, bool append) : file_(fspath::encode(dest)) {
        int err;
        {
            gil::Release nogil;
            err = w_.open(file_.c_str(), append);
        }
        if (err == EINVAL) errors::raise_not_regular(file_.name);  // planted after the size was read
        if (err) errors::raise_errno(err, file_.name);
    }

    // Writes one chunk with the GIL released: the bytes object is kept alive by the caller.
    // A download on a pool's thread ends at the next chunk once the pool is interrupted.
    void write(py::handle chunk) {
        char* data = nullptr;
        Py_ssize_t n = 0;
        if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &n) < 0) throw py::error_already_set();
        const int err = interrupt::run([&](const cancel::Token&) { return w_.write(data, static_cast<std::size_t>(n)); });
        if (err) errors::raise_errno(err, py::handle());
    }

    void close() {
        int err = w_.close();
        if (err) errors::raise_errno(err, py::handle());
    }

  private:
    fspath::Encoded file_;
    files::FileWriter w_;
};

void truncate(py::handle dest) { Sink(dest, false).close(); }

// on_progress is told the bytes written in pieces of the chunk size, the rest at the end
// (or when the body breaks off), whatever sizes the network delivers.
class Progress {
  public:
    Progress(py::handle fn, long long chunk) : fn_(fn), chunk_(chunk) {}

    void add(long long n) {
        pending_ += n;
        while (pending_ >= chunk_) {
            pending_ -= chunk_;
            report(chunk_);
        }
    }

    void flush() {
        long long n = pending_;
        pending_ = 0;
        if (n > 0) report(n);
    }

    void report(long long n) {
        if (fn_.is_none()) return;
        py::int_ v(n);
        errors::best_effort([&] { fn_(v); });
    }

  private:
    py::handle fn_;
    long long chunk_;
    long long pending_ = 0;
};

// The body as the store sent it: with no content coding, the raw pieces are the bytes of the
// object, and writing each as it arrives spares the copies of re-chunking in the client.
bool identity_body(py::handle r) {
    if (!py::hasattr(r, "iter_raw")) return false;
    py::object coding = r.attr("headers").attr("get")("Content-Encoding");
    if (coding.is_none()) return true;
    py::object name = to_str(coding).attr("strip")().attr("lower")();
    return name.equal(py::str("")) || name.equal(py::str("identity"));
}

void write_body(py::handle r, Sink& sink, py::handle on_progress) {
    py::object chunk = ns::get("_DOWNLOAD_CHUNK_BYTES");
    long long size = PyLong_Check(chunk.ptr()) ? PyLong_AsLongLong(chunk.ptr()) : 0;
    if (size == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (size <= 0 || !identity_body(r)) {
        // A coded body is decoded by the client, chunk by chunk.
        Progress progress(on_progress, 0);
        for (py::handle piece : r.attr("iter_bytes")(chunk)) {
            sink.write(piece);
            progress.report(PyBytes_GET_SIZE(piece.ptr()));
        }
        return;
    }
    Progress progress(on_progress, size);
    try {
        for (py::handle piece : r.attr("iter_raw")()) {
            sink.write(piece);
            progress.add(PyBytes_GET_SIZE(piece.ptr()));
        }
    } catch (py::error_already_set& e) {
        // What reached the disk is reported, also when the body breaks off.
        if (errors::ordinary(e)) progress.flush();
        throw;
    }
    progress.flush();
}

enum class Outcome { Written, Complete, Restart };

// One request and, when the answer carries a body for the file, the body written to it.
Outcome fetch(py::handle client, py::handle url, py::handle dest, py::handle on_progress, std::uint64_t existing) {
    py::dict headers;
    if (existing != 0) headers["Range"] = py::str("bytes=" + std::to_string(existing) + "-");
    Outcome outcome = Outcome::Written;
    ctx::with(client.attr("stream")("GET", url, "headers"_a = headers), [&](py::object r) {
        long status = py::cast<long>(r.attr("status_code"));
        if (existing != 0 && (status == 416 || status == 206)) {
            ranges::Resume v = verdict(r, status, existing);
            if (v == ranges::Resume::Restart) {
                outcome = Outcome::Restart;
                return;
            }
            if (v == ranges::Resume::Complete) {
                outcome = Outcome::Complete;
                return;
            }
        }
        // A 200 to a range request: the store ignored it and sends the whole object.
        if (existing != 0 && status == 200) existing = 0;
        r.attr("raise_for_status")();
        Sink sink(dest, existing != 0);
        write_body(r, sink, on_progress);
        sink.close();
    });
    return outcome;
}

void attempt(py::handle client, py::handle url, py::handle dest, py::handle on_progress) {
    std::uint64_t existing = size_on_disk(dest);
    if (fetch(client, url, dest, on_progress, existing) != Outcome::Restart) return;
    // The partial file does not belong to this object (or not at this offset): start over.
    truncate(dest);
    fetch(client, url, dest, on_progress, 0);
}

void download_artifact_to_file(py::object self, const sig::Bound& a) {
    py::object url = a[0], dest = a[1], on_progress = a[2];
    args::exact_str(url, "get_url");
    py::object client = self.attr("_transfer_http_client")();
    // At least one attempt: with none, a missing file would pass for a finished download.
    const long long attempts = transfer_attempts();
    for (long long n = 0; n < attempts; ++n) {
        interrupt::raise_if_stopped();
        try {
            attempt(client, url, dest, on_progress);
            return;
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            interrupt::raise_if_stopped();  // a request broken off by the stop
            if (args::truthy(ns::call("_is_transient_http", e.value())) && n < attempts - 1) {
                ns::call("_sleep_backoff", n);
                continue;
            }
            throw;
        }
    }
}

constexpr const char* kDoc =
    "Downloads the object at the presigned GET URL `get_url` into the file `dest` (a Path whose\n"
    "directory exists), resuming from the bytes already in `dest` with a range request and\n"
    "retrying transient failures with back-off. Returns None; raises the HTTP client's errors\n"
    "or OSError.\n\n"
    "on_progress(nbytes: int) -> None is called after each chunk written, with that chunk's\n"
    "length (bytes already in `dest` are not reported); an Exception it raises is ignored.";

}  // namespace

void bind_artifact_download(py::handle cls) {
    sig::method(cls, "download_artifact_to_file", {sig::arg("get_url"), sig::arg("dest"), sig::kw("on_progress", "None")},
                kDoc, &download_artifact_to_file);
}

}  // namespace brivel::workspace
