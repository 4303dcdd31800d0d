#pragma once
// Folders that clean up after themselves, and code run in a child process that may hang.

#include <functional>
#include <string>

namespace bdtest {

// A fresh folder under the temporary directory, removed with everything in it (also what was
// made read-only) when the object goes.
class TempDir {
  public:
    explicit TempDir(const char* tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
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
