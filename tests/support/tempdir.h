#pragma once
// A temporary folder that a test makes and removes again, whatever it holds.

#include <filesystem>
#include <string>

#include "support/pictures.h"

namespace bdtest {

class TempDir {
  public:
    explicit TempDir(const char* tag) : _path(makeTempDir(tag)) {}
    ~TempDir() {
        std::error_code ec;
        if (!_path.empty()) std::filesystem::remove_all(_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return _path; }
    std::string operator/(const std::string& name) const { return _path + "/" + name; }

  private:
    std::string _path;
};

}  // namespace bdtest
