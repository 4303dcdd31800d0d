#pragma once
// Wallpaper bundles for tests: the ones the build makes, and bundles assembled in a temporary
// directory from their parts.

#include <string>
#include <utility>
#include <vector>

namespace bdtest {
// build/<preset>/bundles/AnimateDemo.bundle
std::string demoBundle();
// A bundle the tests' CMake file built: build/<preset>/tests/bundles/NAME.bundle
std::string testBundle(const std::string& name);
// A library the tests' CMake file linked the plain way: build/<preset>/tests/plugins/NAME.so
std::string testPlugin(const std::string& name);

// A description.plist's text holding the given keys with their XML values (for example
// {"name Library", "<string>x.so</string>"}).
std::string plistXml(const std::vector<std::pair<std::string, std::string>>& entries);
// Makes dir/NAME.bundle (or the path `dir` itself when name is empty) holding symbolic links to
// every file of `from` except description.plist, and a description.plist with `description`
// as its text unless that is empty. Symbolic links let the dynamic loader see the very library
// `from` holds. Returns the bundle's path.
std::string linkBundle(const std::string& from, const std::string& dir, const std::string& name,
                       const std::string& description);
}  // namespace bdtest
