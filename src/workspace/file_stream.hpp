// A local file as a streamed request body: an iterator of bytes chunks that the HTTP client
// sends one after the other. Each chunk is read with the GIL released, so other upload
// workers keep running while this one waits on the disk, and only one chunk is in memory.
#pragma once

#include "common/filereader.hpp"
#include "common/fspath.hpp"

namespace brivel::workspace {

// Creates the iterator class; called once while the module body runs.
void define_file_stream();

class FileStream {
  public:
    // Opens the file (OSError as open() raises it, directories included).
    explicit FileStream(const FsPath& file);
    // Closes the file on every way out, whether or not the body was sent in full.
    ~FileStream() { reader_->close(); }
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    const py::object& body() const { return body_; }

  private:
    py::object body_;             // the Python iterator; owns the reader
    files::FileReader* reader_;  // borrowed from `body_`
};

}  // namespace brivel::workspace
