#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace bdtest {

std::string toolPath() {
    return std::string(BD_BUILD_DIR) + "/bin/backdrop";
}

std::string bundlePath(const std::string& name) {
    std::string test = std::string(BD_BUILD_DIR) + "/tests/bundles/" + name;
    if (access(test.c_str(), F_OK) == 0) return test;
    return std::string(BD_BUILD_DIR) + "/bundles/" + name;
}

Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            bool captureStdout, const std::string& stderrTo) {
    Child c;
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string name = kv.substr(0, kv.find('='));
        bool replaced = false;
        for (const std::string& x : env)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) envs.push_back(kv);
    }
    for (const std::string& x : env)
        if (x.back() != '=') envs.push_back(x);
    std::vector<char*> av, ev;
    for (const std::string& a : argv) av.push_back(const_cast<char*>(a.c_str()));
    av.push_back(nullptr);
    for (std::string& e : envs) ev.push_back(e.data());
    ev.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (captureStdout && pipe2(fds, O_CLOEXEC) != 0) return c;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (captureStdout)
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (!stderrTo.empty())
        posix_spawn_file_actions_addopen(&fa, 2, stderrTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    pid_t pid;
    int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), ev.data());
    posix_spawn_file_actions_destroy(&fa);
    if (captureStdout) close(fds[1]);
    if (rc != 0) {
        if (captureStdout) close(fds[0]);
        return c;
    }
    c.pid = pid;
    if (captureStdout) {
        c.out = fds[0];
        fcntl(c.out, F_SETFL, fcntl(c.out, F_GETFL) | O_NONBLOCK);
    }
    return c;
}

bool readSome(Child& c, std::string* text) {
    if (c.out < 0) return false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(c.out, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, size_t(n));
            continue;
        }
        if (n == 0) return false;
        return errno == EAGAIN || errno == EINTR;
    }
}

int waitFor(Child& c, double timeoutSeconds) {
    if (c.pid <= 0) return -1;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) break;
        if (std::chrono::steady_clock::now() > end) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    c.pid = -1;
    if (c.out >= 0) {
        close(c.out);
        c.out = -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int run(const std::vector<std::string>& argv, std::string* out, std::string* err,
        const std::vector<std::string>& env, double timeoutSeconds) {
    // stderr through a file so that both streams can be read without a deadlock.
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/bd-stderr-XXXXXX";
    std::vector<char> path(templ.begin(), templ.end());
    path.push_back('\0');
    char* errPath = path.data();
    int errFd = mkstemp(errPath);
    if (errFd >= 0) close(errFd);
    Child c = spawn(argv, env, true, errFd >= 0 ? errPath : "/dev/null");
    std::string text;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (c.out >= 0 && std::chrono::steady_clock::now() < end) {
        pollfd p = {c.out, POLLIN, 0};
        poll(&p, 1, 50);
        if (!readSome(c, &text)) break;
    }
    int code = waitFor(c, 1);
    if (out) *out = text;
    if (errFd >= 0) {
        if (err) *err = readFile(errPath);
        unlink(errPath);
    }
    return code;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    return false;
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace bdtest
