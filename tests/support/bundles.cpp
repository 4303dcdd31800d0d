#include "support/bundles.h"

#include <filesystem>

#include "support/pictures.h"

namespace fs = std::filesystem;

namespace bdtest {

std::string demoBundle() {
    return std::string(BD_BUILD_DIR) + "/bundles/AnimateDemo.bundle";
}

std::string testBundle(const std::string& name) {
    return std::string(BD_BUILD_DIR) + "/tests/bundles/" + name + ".bundle";
}

std::string testPlugin(const std::string& name) {
    return std::string(BD_BUILD_DIR) + "/tests/plugins/" + name + ".so";
}

std::string plistXml(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (auto& [key, value] : entries) s += "  <key>" + key + "</key>\n  " + value + "\n";
    return s + "</dict>\n</plist>\n";
}

std::string linkBundle(const std::string& from, const std::string& dir, const std::string& name,
                       const std::string& description) {
    fs::path bundle = name.empty() ? fs::path(dir) : fs::path(dir) / (name + ".bundle");
    std::error_code ec;
    fs::create_directories(bundle, ec);
    if (!from.empty())
        for (auto& entry : fs::directory_iterator(from, ec)) {
            if (entry.path().filename() == "description.plist") continue;
            fs::create_symlink(fs::absolute(entry.path()), bundle / entry.path().filename(), ec);
        }
    if (!description.empty())
        writeFile((bundle / "description.plist").string(),
                  std::vector<uint8_t>(description.begin(), description.end()));
    return bundle.string();
}

}  // namespace bdtest
