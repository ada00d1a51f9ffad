// Files a run reads and writes: input files opened so that no read can hang,
// and output files written under a temporary name and renamed onto their
// own only when complete.
//
// Nothing here prints: every call returns what it found, with all a caller
// needs to word the message (the path is the caller's).
#pragma once

#include <cstdio>

namespace zemb {

// Opens `path` for reading without blocking, and only when it is a regular
// file, so that a FIFO, a device or a folder ends a read at once instead of
// hanging it. Returns the descriptor, or -1 with `error` set (errno) when
// nothing could be opened, or `mode` set (its st_mode) when it is no
// regular file.
int open_input_file(const char* path, int& error, unsigned& mode);

// What an input that is no regular file is, for messages: "a folder",
// "a FIFO", "a device", "a socket".
const char* describe_file_kind(unsigned mode);

// Why a file could not be written; `none` when it was.
enum class WriteFault {
    none,
    cannot_open,  // the file could not be created under its name (errno in FileWrite::error)
    failed,       // a write, flush or close failed (errno in FileWrite::error)
};

// What a write of a mask or an image found. Whatever failed, nothing
// changed under the file's name.
struct FileWrite {
    WriteFault fault = WriteFault::none;
    int error = 0;  // errno of the failure; EIO when the stream kept none

    bool ok() const { return fault == WriteFault::none; }
};

// An output file is written under a temporary name in the folder of its
// final name (".zemb-<process>-<count>") and renamed onto the final name only
// when it is complete. So no cut or empty file ever stands under a final
// name, whatever stops the write (a full disk, a signal, a killed process),
// and a file of an earlier run stays whole until the new one replaces it.
// Whatever stands under the final name (a link, a FIFO, a device) is
// replaced, never followed or written through; only a folder and a file this
// process may not write are refused, as opening them for writing would be.
//
// Masks are not flushed to the disk (fsync) before the rename: that guards
// only against a crash of the whole machine and costs several times a
// frame's work (see the README).
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // a file neither committed nor abandoned is abandoned
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the temporary file for `path`, which must stay valid until
    // commit() or abandon(), and opens stream() on it.
    [[nodiscard]] FileWrite create(const char* path);
    std::FILE* stream() const { return stream_; }
    // Closes the stream and renames the file onto its final name. After any
    // failure the temporary file is gone and the final name is as it was.
    [[nodiscard]] FileWrite commit();
    // Removes the temporary file; nothing changes under the final name.
    void abandon();

private:
    const char* path_ = nullptr;
    std::FILE* stream_ = nullptr;
    int slot_ = -1;  // in the table of unfinished outputs
};

// Removes the temporary file of every output still being written, on any
// thread, and refuses every output begun after it (the process is ending,
// and another thread may be writing). Safe in a signal handler: it reads a
// fixed table and calls unlink.
void remove_unfinished_outputs();

}  // namespace zemb
