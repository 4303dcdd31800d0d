// `backdrop new NAME [--dir DIR]`: writes a wallpaper project that builds against this SDK with
// `cmake -B build && cmake --build build`: a view with every hook in place, the entry points by
// BACKDROP_WALLPAPER, an asset program that draws the pictures and the sound, a folder packed
// into a resource package at build time, the thumbnail, and the name and version in one place.
// The SDK's CMake package is looked for beside this tool (lib/cmake/Backdrop of its install
// prefix, or sdk/ of a build tree) and named in the project as a hint.

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "Commands.h"
#include "Foundation/NSLog.h"
#include "NewTemplates.h"

namespace fs = std::filesystem;

namespace host {
namespace {

// The folder holding BackdropConfig.cmake for this tool, or "".
std::string sdkDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "";
    fs::path bin = exe.parent_path();
    for (fs::path candidate : {bin.parent_path() / BACKDROP_INSTALL_LIBDIR / "cmake" / "Backdrop",
                               bin.parent_path() / "sdk"})
        if (fs::is_regular_file(candidate / "BackdropConfig.cmake", ec))
            return candidate.lexically_normal().string();
    return "";
}

std::string fill(std::string text, const std::string& name, const std::string& sdk) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"@NAME@", name},
                              std::pair<std::string, std::string>{"@SDK_DIR@", sdk}})
        for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
            text.replace(at, key.size(), value);
    return text;
}

int makeProject(const std::string& name, const std::string& parent) {
    // The name becomes a C++ class, a CMake target and a file name.
    bool valid =
        !name.empty() && name.size() <= 64 && std::isalpha(static_cast<unsigned char>(name[0]));
    for (char c : name) valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!valid)
        return fail("bad name \"" + bd::printableText(name.substr(0, 80), true) +
                        "\": a letter, then letters, digits or _ (it names a class)",
                    kExitUsage);
    // CMake keeps these target names for itself: the project would not configure.
    for (const char* reserved : {"all", "ALL_BUILD", "clean", "help", "install", "INSTALL",
                                 "preinstall", "edit_cache", "rebuild_cache", "test", "RUN_TESTS",
                                 "package", "PACKAGE", "package_source", "ZERO_CHECK"})
        if (name == reserved)
            return fail("bad name \"" + name + "\": CMake keeps that target name for itself",
                        kExitUsage);
    std::error_code ec;
    fs::path dir = fs::path(parent.empty() ? "." : parent) / name;
    if (fs::exists(dir, ec) || fs::is_symlink(dir, ec))
        return fail(dir.string() + " exists already; nothing was written");
    std::string sdk = sdkDir();
    struct File {
        const char* path;
        const char* text;
    } files[] = {
        {"CMakeLists.txt", kTemplate_CMakeLists_txt_in},
        {"README.md", kTemplate_README_md_in},
        {"src/VIEW.cpp", kTemplate_View_cpp_in},
        {"assets/draw_assets.cpp", kTemplate_draw_assets_cpp_in},
        {".gitignore", "/build/\n"},
    };
    fs::create_directories(dir / "src", ec);
    if (!ec) fs::create_directories(dir / "assets", ec);
    if (ec) return fail("cannot make " + dir.string() + ": " + ec.message());
    for (const File& f : files) {
        std::string rel = f.path;
        if (rel == "src/VIEW.cpp") rel = "src/" + name + "View.cpp";
        fs::path path = dir / rel;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << fill(f.text, name, sdk);
        out.close();
        if (!out) {
            fs::remove_all(dir, ec);
            return fail("cannot write " + path.string());
        }
    }
    std::printf("made %s: a wallpaper project (SDK: %s)\n", dir.string().c_str(),
                sdk.empty() ? "found through CMAKE_PREFIX_PATH" : sdk.c_str());
    std::printf("  cd %s && cmake -B build && cmake --build build\n", dir.string().c_str());
    std::printf("  backdrop check --strict build/%s.bundle\n", name.c_str());
    std::printf("  backdrop run --watch build/%s.bundle\n", name.c_str());
    return 0;
}

}  // namespace

void addNewCommand(CLI::App& app, int& exitCode) {
    static std::string name, dir;
    auto* cmd = app.add_subcommand(
        "new", "Make a wallpaper project NAME that builds against this SDK (see its README.md)");
    cmd->add_option("NAME", name, "The wallpaper's name (a letter, then letters, digits or _)")
        ->required();
    cmd->add_option("--dir", dir, "Folder to make the project in (default: here)");
    cmd->callback([&exitCode] { exitCode = makeProject(name, dir); });
}

}  // namespace host
