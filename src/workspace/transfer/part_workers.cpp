// The per-batch and per-part work of an attempt: hashing (checksum mode) and presigning a
// batch on the look-ahead thread; reading one part and sending it on the part pool.
#include <algorithm>
#include <cstdint>
#include <string>

#include "common/args.hpp"
#include "common/ns.hpp"
#include "core/dataparts.hpp"
#include "core/multipart.hpp"
#include "workspace/state.hpp"
#include "workspace/transfer/file_stream.hpp"
#include "workspace/transfer/multipart_attempt.hpp"
#include "workspace/transfer/part_data.hpp"
#include "workspace/transfer/part_put.hpp"

namespace brivel::workspace {

using namespace pybind11::literals;

py::tuple Attempt::prepare_batch(py::handle batch) {
    args::exact_list(batch, "batch");
    py::dict cks;
    py::object urls;
    if (checksum_parts) {
        py::dict by_name;
        for (py::handle pn : batch) {
            auto r = dataparts::part_range(py::cast<long long>(to_int(pn)), part_size, size);
            py::object ck = ns::call("_sha256_region_b64", path, py::int_(r.offset), py::int_(r.length));
            cks[pn] = ck;
            by_name[to_str(pn)] = ck;
        }
        urls = client.attr("multipart_presign_parts")(presign_ep, sha, upload_id, batch, "checksums"_a = by_name);
    } else {
        urls = client.attr("multipart_presign_parts")(presign_ep, sha, upload_id, batch);
    }
    return py::make_tuple(urls, cks);
}

py::tuple Attempt::do_part(py::handle pn_in, py::handle url_in, py::handle ck_in) {
    py::object pn = args::to_int(pn_in, "pn");
    args::exact_str(url_in, "presigned_url", true);
    args::exact_str(ck_in, "ck", true);
    const long long n = py::cast<long long>(pn);
    auto r = dataparts::part_range(n, part_size, size);
    const auto offset = static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.offset));
    const auto length = static_cast<std::uint64_t>(std::max<std::int64_t>(0, r.length));
    // The whole part is held in memory until its PUT has ended, retries included.
    std::string md5;
    py::bytes data = read_part(file, offset, length, &md5);
    const auto got = static_cast<std::uint64_t>(PyBytes_GET_SIZE(data.ptr()));
    if (got != length)
        raise_changed_file(path, "part " + std::to_string(n) + " has " + std::to_string(got) + " of " +
                                     std::to_string(length) + " bytes");
    py::object ck = py::reinterpret_borrow<py::object>(ck_in);
    py::cpp_function fresh_url([self = shared_from_this(), n, ck]() { return self->remint(n, ck); },
                               py::name("_remint"));
    py::object url = py::reinterpret_borrow<py::object>(url_in);
    if (!args::truthy(url)) url = fresh_url();
    // The class's own _put_part_bytes gets the MD5 hashed as the part was read; an override
    // is called as the method, with the arguments it documents.
    py::object put = client.attr("_put_part_bytes");
    py::object etag = own_method(put, client, state().put_part_bytes)
                          ? put_part(client, url, data, ck, fresh_url, md5)
                          : put(url, data, "checksum_b64"_a = ck, "remint"_a = fresh_url);
    return py::make_tuple(pn, etag, ck);
}

// A fresh URL for one part, signed for the same checksum the part carries.
py::object Attempt::remint(long long pn, py::handle ck) {
    py::list one;
    one.append(py::int_(pn));
    py::str key(std::to_string(pn));
    py::object res;
    if (checksum_parts) {
        py::dict cks;
        cks[key] = ck;
        res = client.attr("multipart_presign_parts")(presign_ep, sha, upload_id, one, "checksums"_a = cks);
    } else {
        res = client.attr("multipart_presign_parts")(presign_ep, sha, upload_id, one);
    }
    PyObject* url = PyObject_GetItem(res.ptr(), key.ptr());
    if (!url) throw py::error_already_set();
    return args::expect(py::reinterpret_steal<py::object>(url), &PyUnicode_Type);
}

}  // namespace brivel::workspace
