#pragma once
// Running the `backdrop` tool and other programs from tests.

#include <sys/types.h>

#include <string>
#include <vector>

namespace bdtest {

// The tool built beside the tests, and the wallpaper bundles the build makes (test bundles in
// tests/bundles/, the sample in bundles/).
std::string toolPath();
std::string bundlePath(const std::string& name);  // e.g. "TestWallpaper.bundle"

struct Child {
    pid_t pid = -1;
    int out = -1;  // the child's stdout (when captured), non-blocking
};
// Starts argv[0] (searched on PATH) with extra "NAME=value" settings ("NAME=" unsets NAME).
// stdout goes to a pipe when captureStdout, else to /dev/null; stderr to the file stderrTo
// (the test's own stderr when empty).
Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            bool captureStdout, const std::string& stderrTo = "/dev/null");
// Reads what the child wrote so far onto *text; returns false at end of file.
bool readSome(Child& c, std::string* text);
// Waits for the exit code (128 + signal when killed); kills the child after timeoutSeconds.
int waitFor(Child& c, double timeoutSeconds);
// Runs to completion: exit code, stdout and stderr.
int run(const std::vector<std::string>& argv, std::string* out = nullptr,
        std::string* err = nullptr, const std::vector<std::string>& env = {},
        double timeoutSeconds = 60);
// Whether a program is found on PATH.
bool onPath(const std::string& program);
// The bytes of a file ("" when missing).
std::string readFile(const std::string& path);

}  // namespace bdtest
