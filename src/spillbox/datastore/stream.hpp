#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// _stream_bytes: a payload cut into copied chunks for a streamed request body, with a
// cumulative progress report after each chunk has been taken.
void define_stream_bytes(py::module_& m);

// A request body over the bytes data[start:end], handed to the HTTP client in chunks of
// kBodyChunk bytes. One whole-payload bytes body would be re-sliced by the client's send
// loop after every partial write, copying the rest of it each time; chunks bound that cost
// and the memory it takes. The request keeps its Content-Length, so nothing on the wire
// changes.
constexpr Py_ssize_t kBodyChunk = 1 << 20;
py::object byte_chunks(py::handle data, Py_ssize_t start, Py_ssize_t end);

}  // namespace brivel::spillbox
