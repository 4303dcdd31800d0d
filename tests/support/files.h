#pragma once
// Folders that clean up after themselves, and code run in a child process that may hang.

#include <functional>
#include <string>

namespace bdtest {

// A fresh folder $TMPDIR/bd-<tag>-XXXXXX (TMPDIR defaults to /tmp), removed with everything in
// it (also what was made read-only) when the object goes, so a test run leaves the temporary
// folder as it found it; scripts/test-all.sh fails the run when bd-* entries remain. Hold one as a
// fixture member or a local and put every file the test writes into it. BD_KEEP_TEMP=1 in the
// environment keeps the folders (and names them on stderr) to look into a failure.
class TempDir {
  public:
    explicit TempDir(const char* tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The folder ("" when it could not be made).
    const std::string& path() const { return _path; }
    // path() + "/" + name
    std::string operator/(const std::string& name) const { return _path + "/" + name; }

  private:
    std::string _path;
};

// Runs fn in a forked child and returns its result (0..255); -1 when the child had not ended
// after timeoutSeconds (it is then killed and reaped), 128 + signal when a signal ended it.
int runInChild(const std::function<int()>& fn, double timeoutSeconds);

// Makes a FIFO at path; false on failure.
bool makeFifo(const std::string& path);

}  // namespace bdtest
