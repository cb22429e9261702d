#include "common/etag.hpp"

#include "common/args.hpp"
#include "core/dataparts.hpp"

namespace brivel::etag {

std::string of_reply(py::handle resp) {
    py::object headers = resp.attr("headers");
    py::object value = headers.attr("get")("ETag");
    if (!args::truthy(value)) value = headers.attr("get")("etag");
    if (!args::truthy(value)) return {};
    return std::string(dataparts::strip_quotes(py::cast<std::string>(to_str(value))));
}

}  // namespace brivel::etag
