// Part dispatch of one attempt: batches are hashed and presigned one batch ahead on a
// look-ahead thread while the part pool sends the previous batch; at most the current
// depth of parts is submitted and not yet collected, so at most that many parts are held
// in memory; finished parts are collected on the attempt's thread, which alone changes the
// maps and the journal.
#include "common/args.hpp"
#include "common/lock.hpp"
#include "common/ns.hpp"
#include "common/pool.hpp"
#include "common/signature.hpp"
#include "core/dataparts.hpp"
#include "core/multipart.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/multipart_attempt.hpp"

namespace brivel::workspace {

namespace {

py::list as_list(const std::vector<long long>& numbers) {
    py::list out;
    for (long long n : numbers) out.append(py::int_(n));
    return out;
}

// No room for another part. With nothing in flight there is always room: a target below
// one would otherwise stop the upload for good.
bool full(const py::dict& inflight, const py::object& target) {
    Py_ssize_t n = PyDict_GET_SIZE(inflight.ptr());
    return n > 0 && py::int_(n) >= target;
}

}  // namespace

py::object Attempt::current_target() const {
    return ctrl.is_none() ? py::int_(max_inflight) : ctrl.attr("target")();
}

// Waits for at least one part in flight to end and collects every part found ended. A
// failed part raises here; the parts not yet collected stay in flight.
void Attempt::reap(pool::Pool& ex, py::dict& inflight) {
    for (const py::object& fut : ex.collect()) {
        inflight.attr("pop")(fut, py::none());
        auto r = sig::unpack(fut.attr("result")(), 3);
        if (!ctrl.is_none()) {
            auto range = dataparts::part_range(py::cast<long long>(to_int(r[0])), part_size, size);
            ctrl.attr("record")(py::int_(range.length));
        }
        LockHold hold(jlock);
        completed[r[0]] = r[1];
        if (!r[2].is_none()) checksums[r[0]] = r[2];
        append_part(r[0], r[1], r[2]);
    }
}

void Attempt::dispatch(const std::vector<long long>& missing) {
    auto self = shared_from_this();
    py::cpp_function prepare([self](py::object batch) { return self->prepare_batch(batch); },
                             py::name("_prepare_batch"), py::arg("batch"));
    py::cpp_function part([self](py::object pn, py::object url, py::object ck) { return self->do_part(pn, url, ck); },
                          py::name("_do_part"), py::arg("pn"), py::arg("presigned_url"), py::arg("ck"));
    const auto batches = multipart::batches(missing, checksum_parts, part_size, pool_workers);

    pool::Pool ex{py::int_(pool_workers), break_off_requests(client)};
    py::dict inflight;  // future -> part number
    try {
        pool::Pool prep{py::int_(1)};
        try {
            py::object next = batches.empty() ? py::none() : prep.submit(prepare, as_list(batches[0]));
            for (std::size_t bi = 0; bi < batches.size(); ++bi) {
                auto prepared = sig::unpack(prep.result(next), 2);
                py::object urls = prepared[0], cks = prepared[1];
                next = bi + 1 < batches.size() ? prep.submit(prepare, as_list(batches[bi + 1])) : py::none();
                for (long long n : batches[bi]) {
                    py::int_ pn(n);
                    for (py::object target = current_target(); full(inflight, target); target = current_target())
                        reap(ex, inflight);
                    py::object fut = ex.submit(part, pn, urls.attr("get")(py::str(pn)), cks.attr("get")(pn));
                    inflight[fut] = pn;
                }
            }
            while (PyDict_GET_SIZE(inflight.ptr()) > 0) reap(ex, inflight);
        } catch (...) {
            prep.abandon();
            throw;
        }
        prep.abandon();
    } catch (py::error_already_set& e) {
        // Every submitted part ends (an interrupt cancels the queued ones) before the
        // failure leaves, so an abort follows the last part request.
        ex.shutdown(!e.matches(PyExc_Exception));
        throw;
    }
    ex.shutdown(false);
}

}  // namespace brivel::workspace
