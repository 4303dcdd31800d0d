#pragma once
// Temporary folders for tests. A TempDir makes $TMPDIR/bd-<tag>-XXXXXX (TMPDIR defaults to /tmp)
// and removes it with everything inside when it goes, so a test run leaves the temporary folder
// as it found it; scripts/test-all.sh fails the run when bd-* folders remain. Hold one as a
// fixture member or a local, and put every file the test writes into it. BD_KEEP_TEMP=1 in the
// environment keeps the folders (and names them on stderr) to look into a failure.

#include <string>

namespace bdtest {

class TempDir {
  public:
    explicit TempDir(const char* tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder ("" when it could not be made).
    const std::string& path() const { return _path; }
    // path()/name
    std::string file(const std::string& name) const { return _path + "/" + name; }

  private:
    std::string _path;
};

}  // namespace bdtest
