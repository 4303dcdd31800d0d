#pragma once
// For fuzz targets whose reader takes a path: each input is written to one temporary file per
// process (removed at exit), and the target reads it back from there.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

class TempInput {
  public:
    // The file is $TMPDIR/<stem>.<pid><suffix> (TMPDIR defaults to /tmp).
    TempInput(const char* stem, const char* suffix) {
        const char* dir = std::getenv("TMPDIR");
        _path = std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "." +
                std::to_string(getpid()) + suffix;
    }
    ~TempInput() { std::remove(_path.c_str()); }
    TempInput(const TempInput&) = delete;
    TempInput& operator=(const TempInput&) = delete;

    // Replaces the file's content with the input; false when it could not be written whole.
    bool write(const uint8_t* data, size_t size) const {
        std::FILE* f = std::fopen(_path.c_str(), "wb");
        if (!f) return false;
        bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
        return std::fclose(f) == 0 && ok;
    }
    const std::string& path() const { return _path; }

  private:
    std::string _path;
};

}  // namespace fuzz
