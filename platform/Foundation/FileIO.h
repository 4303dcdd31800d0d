#pragma once
// Reading and writing files safely: reads that only ever take a regular file (a FIFO or a
// device named like a picture must not block or stream for ever), and writes that replace a
// file only once the new bytes are all on disk.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Foundation/Export.h"

namespace bd {

// [any-thread] A descriptor open for reading on path, or -1 (errno set; EINVAL for anything but
// a regular file). The open never blocks (O_NONBLOCK, cleared again afterwards) and the type is
// checked on the open descriptor, so nothing can be swapped in between.
BD_EXPORT int openRegularFile(const char* path);
// [any-thread] The whole of a regular file of at most maxBytes into out; false for anything
// else (missing, unreadable, no regular file, bigger than maxBytes).
BD_EXPORT bool readRegularFile(const char* path, std::vector<uint8_t>& out,
                               uint64_t maxBytes = UINT64_MAX);

// Writes one file so that its old content stays whole until the new one is complete.
//
// The bytes go to a temporary ".NAME.backdrop-tmp.PID.N" beside the file (beside the file a
// symbolic link names, so the link stays a link) that commit() renames over it; opening sweeps
// away the temporaries that killed writers of the same file left. Where a rename can't keep
// the file what it is, the file is written in place ("wb") instead: when it has other hard
// links, when its folder takes no new file although the file itself is writable, and when it is
// a device or a FIFO, which can only be written to. A folder is never written. The new file
// keeps the old one's permission bits.
class BD_EXPORT AtomicFileWriter {
  public:
    AtomicFileWriter() = default;
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;
    // [any-thread] Abandons a file that was opened and not committed: the temporary goes, the
    // old file stays (a file being written in place is left as far as it got).
    ~AtomicFileWriter();

    // [any-thread] False when the file can't be written (errno set).
    bool open(const std::string& path);
    // [any-thread] The stream to write to, after a successful open().
    FILE* file() const { return _file; }
    // [any-thread] Whether open() chose to write in place.
    bool inPlace() const { return _inPlace; }
    // [any-thread] Flushes, syncs and closes the stream and puts the file in place. False when
    // any write, the flush, the sync, the close or the rename failed.
    bool commit();

  private:
    void abandon();

    FILE* _file = nullptr;
    bool _inPlace = false;
    bool _special = false;  // a device or a FIFO
    std::string _target, _temp;
};

// [any-thread] Writes bytes to path through an AtomicFileWriter.
BD_EXPORT bool writeFileAtomically(const std::string& path, const void* bytes, size_t length);

// [any-thread] Writes bytes as the file `name` (one path component) in the open folder dirFd:
// through a temporary beside it renamed over it, never following a symbolic link (a link named
// `name` is replaced, not written through). False with errno set on failure; EEXIST when name
// is a folder.
BD_EXPORT bool writeFileAtomicallyAt(int dirFd, const std::string& name, const void* bytes,
                                     size_t length);

// [any-thread] Whether name is a temporary that a writer of the file `target` (a file name
// without folder) makes: ".TARGET.backdrop-tmp.PID" with an optional ".N".
BD_EXPORT bool isTemporaryOf(const std::string& name, const std::string& target);

}  // namespace bd
