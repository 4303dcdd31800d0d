#include "support/files.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace bdtest {

TempDir::TempDir(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bd-" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (const char* dir = mkdtemp(buf.data())) _path = dir;
}

TempDir::~TempDir() {
    if (_path.empty()) return;
    if (const char* keep = std::getenv("BD_KEEP_TEMP"); keep && *keep && std::string(keep) != "0") {
        std::fprintf(stderr, "kept %s (BD_KEEP_TEMP)\n", _path.c_str());
        return;
    }
    std::error_code ec;
    // Folders a test made read-only must be writable again for their entries to go.
    fs::permissions(_path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(_path, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(_path, ec);
}

int runInChild(const std::function<int()>& fn, double timeoutSeconds) {
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(fn() & 0xFF);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool makeFifo(const std::string& path) {
    return mkfifo(path.c_str(), 0644) == 0;
}

}  // namespace bdtest
