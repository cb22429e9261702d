// The bytes of one part of a local file, read natively with the GIL released.
#pragma once

#include <cstdint>
#include <string>

#include "common/fspath.hpp"
#include "common/py.hpp"

namespace brivel::workspace {

void define_region_digest(py::module_& m);  // _sha256_region_b64

// A new bytes object with up to `length` bytes of `file` from `offset`: shorter only when
// the file ends first. With `md5_hex`, it receives the bytes' MD5, taken as they are read.
// File errors raise the OSError open() or read() would.
py::bytes read_part(const fspath::Encoded& file, std::uint64_t offset, std::uint64_t length,
                    std::string* md5_hex = nullptr);

}  // namespace brivel::workspace
