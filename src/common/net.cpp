#include "common/net.hpp"

#include "common/attr.hpp"
#include "common/ns.hpp"

namespace brivel::net {

void break_off(py::handle client) noexcept {
    py::error_scope keep;  // the error being raised, if any, stays as it was
    try {
        if (client.is_none()) return;
        // httpx.Client -> its HTTPTransport -> the httpcore pool, whose connections each hold
        // their network stream once connected.
        py::object pool = attr::or_none(attr::or_none(client, "_transport"), "_pool");
        py::object connections = attr::or_none(pool, "connections");
        if (connections.is_none()) return;
        py::object how = ns::import("socket").attr("SHUT_RDWR");
        for (py::handle conn : connections) {
            py::object stream = attr::or_none(attr::or_none(conn, "_connection"), "_network_stream");
            if (stream.is_none()) continue;
            py::object sock = stream.attr("get_extra_info")("socket");
            if (sock.is_none()) continue;
            try {
                sock.attr("shutdown")(how);
            } catch (py::error_already_set&) {
                // Already closed, or never connected.
            }
        }
    } catch (py::error_already_set&) {
    } catch (...) {
    }
}

py::object reply_status(py::handle exc) {
    py::object resp = attr::or_none(exc, "response");
    return resp.is_none() ? py::none() : attr::or_none(resp, "status_code");
}

namespace {

bool is_instance(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace

bool transient(py::handle exc, py::handle httpx) {
    py::object code = reply_status(exc);
    if (!code.is_none())
        return code.equal(py::int_(408)) || code.equal(py::int_(429)) || (py::int_(500) <= code && code < py::int_(600));
    return is_instance(exc, httpx.attr("TransportError")) || is_instance(exc, httpx.attr("TimeoutException"));
}

}  // namespace brivel::net
