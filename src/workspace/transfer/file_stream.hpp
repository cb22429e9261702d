// A local file as a streamed request body: an iterator of bytes chunks that the HTTP client
// sends one after the other. Each chunk is read (and hashed) with the GIL released, so other
// upload workers keep running while this one waits on the disk; one chunk is read ahead so
// that the body can still be refused before its last byte goes out.
#pragma once

#include <string>

#include "core/filereader.hpp"
#include "common/fspath.hpp"

namespace brivel::workspace {

// Creates the iterator class (not a module attribute).
void define_file_stream(py::module_& m);

// RuntimeError "Local file <path> changed during upload (<detail>)": the bytes on disk are
// no longer those the content hash names, so they must not be stored under it.
[[noreturn]] void raise_changed_file(py::handle path, const std::string& detail);
// The same with the detail "expected sha256=<12>, got <12>".
[[noreturn]] void raise_changed_content(py::handle path, py::handle expected_hex, py::handle got_hex);

class FileStream {
  public:
    // Opens the file (OSError as open() raises it, directories included). With a non-empty
    // `expected_hex` the content is hashed as it streams, and a file whose bytes no longer
    // hash to it fails the body (raise_changed_content, with `label` as the path) before its
    // last chunk is handed out, so the store never receives a complete, wrong object.
    FileStream(const fspath::Encoded& file, py::handle label, const std::string& expected_hex);
    ~FileStream();
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    const py::object& body() const { return body_; }

    struct State;

  private:
    py::object body_;  // the Python iterator; owns the state
    State* state_;     // borrowed from `body_`
};

}  // namespace brivel::workspace
