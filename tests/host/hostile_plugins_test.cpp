// Hostile wallpapers against `backdrop check`, `render` and `run`: for each, what is reported,
// the exit code, the time taken (the limit plus a second beyond a normal start), and that no
// process is left behind. The sandbox's refusals are reported by name; where the kernel has
// less Landlock (or it is capped with BACKDROP_LANDLOCK_ABI) the level says so and seccomp
// still refuses what it covers.

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

int landlockAbi() {
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : int(abi);
}

// Processes still running that carry the marker in their environment.
int marked(const std::string& marker) {
    int n = 0;
    DIR* d = opendir("/proc");
    while (dirent* e = d ? readdir(d) : nullptr) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/environ", std::ios::binary);
        std::string env((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        n += env.find(marker) != std::string::npos;
    }
    if (d) closedir(d);
    return n;
}

std::string lineWith(const std::string& text, const std::string& needle) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos) return line;
    return "";
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        // A home of the test's own with a key a wallpaper must not read, and a port it must
        // not reach.
        ASSERT_FALSE(home.path().empty());
        std::filesystem::create_directory(home / ".ssh");
        bdtest::writeFile(home / ".ssh/id_ed25519", {'k', 'e', 'y'});
        std::filesystem::permissions(
            home / ".ssh/id_ed25519",
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(listener, 4), 0);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    void TearDown() override { close(listener); }

    struct Result {
        int code = -1;
        std::string out, err;
        double seconds = 0;
    };
    Result tool(const std::string& hostile, std::vector<std::string> args,
                std::vector<std::string> env = {}) {
        std::string marker = "BDTEST_MARK=" + std::to_string(getpid()) + "-" + hostile;
        env.insert(env.end(), {"BDTEST_HOSTILE=" + hostile, "HOME=" + home.path(),
                               "BDTEST_PORT=" + std::to_string(port), marker});
        args.insert(args.begin(), bdtest::toolPath());
        Result r;
        auto t0 = Clock::now();
        r.code = bdtest::run(args, &r.out, &r.err, env, 60);
        r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_EQ(marked(marker), 0) << hostile << ": a process was left behind";
        return r;
    }
    // A normal start and first frames, to which the limits add.
    double baseline() {
        Result r =
            tool("", {"render", bundle, "-o", home / "p.webp", "--seconds", "0.05", "--no-icons"});
        EXPECT_EQ(r.code, 0) << r.err;
        return r.seconds;
    }

    bdtest::TempDir home{"hostile"};
    int listener = -1, port = 0;
    const std::string bundle = bdtest::bundlePath("Hostile.bundle");
};

struct Expect {
    const char* hostile;
    const char* checkSays;  // in the first FAIL line
    int renderCode;
    const char* renderSays;  // on stderr
    bool hangs;              // takes its time limit
};

// With the sandbox as this kernel gives it.
TEST_F(Hostile, NothingCrashesHangsFoolsOrOutlivesCheckAndRender) {
    const bool landlock = landlockAbi() >= 1;
    const std::string key = home / ".ssh/id_ed25519";
    const Expect cases[] = {
        {"crash-load", "the library opens (RTLD_LAZY): the wallpaper crashed (SIGSEGV)", 1,
         "crashed (SIGSEGV) at 0.00 s, frame 0, in (anonymous namespace)::crashHere()", false},
        {"crash-init", "320 points wide and as tall as the screen: the wallpaper crashed (SIGSEGV)",
         1, "crashed (SIGSEGV)", false},
        {"crash-late",
         "without crashing or growing in memory: the wallpaper crashed (SIGSEGV) at 3.", 1,
         "crashed (SIGSEGV) at 3.", false},
        {"crash-thread", "crashed (SIGSEGV) at 5.", 1, "crashed (SIGSEGV) at 5.", false},
        {"abort", "crashed (SIGABRT)", 1, "HostileView::doAnimating()", false},
        {"throw", "crashed (SIGABRT)", 1, "crashed (SIGABRT)", false},
        {"exit-load", "the library opens (RTLD_LAZY): the wallpaper exited (status 0)", 1,
         "exited (status 0)", false},
        {"exit-frame", "exited (status 0)", 1, "exited (status 0)", false},
        {"loop", "did not finish within 1 s", 1, "stopped answering for 1 s", true},
        {"sleep", "did not finish within 1 s", 1, "stopped answering for 1 s", true},
        {"close-fds", "closed its connection", 1, "closed its connection", false},
        {"fork", "refused: start a process (clone)", 0, "refused: start a process (clone)", false},
        {"alloc", "memory", 1, "memory", false},
        {"leak", "memory", 1, "memory", false},
        {"forge", "320 points wide", 1, "the wallpaper ", false},
        // seccomp refuses the socket before Landlock's TCP rules are asked.
        {"connect", "refused: open a network socket (AF_INET)", 0, "refused", false},
        {"exec", "refused: run /bin/sh", 0, "refused: run /bin/sh", false},
    };
    for (const Expect& c : cases) {
        SCOPED_TRACE(c.hostile);
        // A hang meets a 1 s limit; the rest end by themselves (slowly, in sanitizer builds).
        const std::string limit = c.hangs ? "1" : "10";
        const double start = c.hangs ? baseline() : 0;
        Result r = tool(c.hostile, {"check", bundle, "--timeout", limit, "--soak", "1"});
        EXPECT_EQ(r.code, 1) << r.out;
        EXPECT_EQ(r.out.find("checks passed"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("sandbox: "), std::string::npos);
        bool said = false;
        std::istringstream lines(r.out);
        for (std::string l; std::getline(lines, l);)
            said |= l.rfind("FAIL ", 0) == 0 && l.find(c.checkSays) != std::string::npos;
        EXPECT_TRUE(said) << c.checkSays << "\n" << r.out;
        // Two processes run the wallpaper's code, each check within its limit.
        if (c.hangs) {
            EXPECT_LT(r.seconds, 2 * start + 2 * (1 + 1) + 1 + 3) << r.out;
        }

        // render: the leak gets a small memory limit so it meets it within the preview.
        Result p =
            tool(c.hostile, {"render", bundle, "-o", home / "p.webp", "--no-icons", "--seconds",
                             "8", "--fps", "10", "--timeout", limit, "--memory-limit", "192M"});
        EXPECT_EQ(p.code, c.renderCode) << p.err;
        EXPECT_NE(p.err.find(c.renderSays), std::string::npos) << p.err;
        if (c.renderCode != 0) {
            // One line of the tool's own, the wallpaper's failure.
            std::string own = lineWith(p.err, "backdrop: ");
            EXPECT_NE(own.find("the wallpaper "), std::string::npos) << p.err;
        }
        if (c.hangs) {
            EXPECT_LT(p.seconds, start + 1 + 1) << "the limit plus a second";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(home / "written-by-wallpaper"));

    // What a wallpaper may not read or write is refused, each attempt by name.
    Result r = tool("secrets", {"check", bundle, "--timeout", "10", "--soak", "1"});
    std::string line = lineWith(r.out, "stays inside its sandbox");
    if (landlock) {
        EXPECT_NE(line.find("open /etc/shadow for reading"), std::string::npos) << r.out;
        EXPECT_NE(line.find("open " + key + " for reading"), std::string::npos) << r.out;
        EXPECT_NE(line.find("list " + home.path() + "/.ssh"), std::string::npos) << r.out;
        EXPECT_NE(line.find("open " + home.path() + "/written-by-wallpaper for writing"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(std::filesystem::exists(home / "written-by-wallpaper"));
        Result p = tool("secrets", {"render", bundle, "-o", home / "p.webp", "--seconds", "0.1"});
        EXPECT_EQ(p.code, 0);
        EXPECT_NE(p.err.find("hostile: read the ssh key: refused"), std::string::npos) << p.err;
        EXPECT_NE(p.err.find("sandbox: the wallpaper was refused: open /etc/shadow for reading"),
                  std::string::npos)
            << p.err;
    }
}

// The desktop's services listen on Unix sockets with paths (the display server, the session bus,
// agents, the log): a wallpaper opens no socket of its own, so it reaches none of them.
TEST_F(Hostile, NoUnixSocketOfTheDesktopIsReachable) {
    auto bound = [&](int type, const std::string& path) {
        int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
        if (type == SOCK_STREAM) {
            EXPECT_EQ(listen(fd, 4), 0);
        }
        return fd;
    };
    const std::string streamPath = home / "bus", dgramPath = home / "log";
    int stream = bound(SOCK_STREAM, streamPath), dgram = bound(SOCK_DGRAM, dgramPath);
    const std::vector<std::string> env = {"BDTEST_UNIX_SOCKET=" + streamPath,
                                          "BDTEST_UNIX_DGRAM=" + dgramPath};
    Result r = tool("unix", {"check", bundle, "--timeout", "10", "--soak", "1"}, env);
    EXPECT_NE(lineWith(r.out, "FAIL the wallpaper stays inside its sandbox")
                  .find("refused: open a Unix socket; make a datagram socket pair"),
              std::string::npos)
        << r.out;
    Result p = tool("unix", {"render", bundle, "-o", home / "p.webp", "--seconds", "0.1"}, env);
    EXPECT_EQ(p.code, 0) << p.err;
    EXPECT_NE(p.err.find("hostile: connect to a Unix socket: refused"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("hostile: send to a Unix socket: refused"), std::string::npos) << p.err;
    // Nothing arrived at either socket.
    pollfd fds[2] = {{stream, POLLIN, 0}, {dgram, POLLIN, 0}};
    EXPECT_EQ(poll(fds, 2, 0), 0);
    close(stream);
    close(dgram);
}

// A wallpaper signals no process but its own, whatever Landlock the kernel has (it scopes
// signals only from ABI 6): kill(-1, SIGKILL) would end the user's whole session.
TEST_F(Hostile, SignalsStayInsideTheWallpaperProcess) {
    bdtest::Child victim = bdtest::spawn({"sleep", "60"}, {}, false);
    ASSERT_GT(victim.pid, 0);
    for (const char* abi : {"5", ""}) {
        SCOPED_TRACE(abi);
        std::vector<std::string> env = {"BDTEST_VICTIM=" + std::to_string(victim.pid)};
        if (*abi) env.push_back(std::string("BACKDROP_LANDLOCK_ABI=") + abi);
        Result p =
            tool("signal", {"render", bundle, "-o", home / "p.webp", "--seconds", "0.1"}, env);
        EXPECT_EQ(p.code, 0) << p.err;
        EXPECT_NE(p.err.find("hostile: kill another process: refused"), std::string::npos) << p.err;
        EXPECT_NE(p.err.find("hostile: signal every process: allowed"), std::string::npos)
            << p.err;  // signal 0 delivers nothing
        EXPECT_NE(p.err.find("refused: signal another process (kill)"), std::string::npos) << p.err;
        EXPECT_EQ(kill(victim.pid, 0), 0) << "the victim was killed";
    }
    kill(victim.pid, SIGKILL);
    bdtest::waitFor(victim, 5);
}

// Where the kernel offers less, the level says so and seccomp still holds; without the sandbox
// nothing is refused but processes still end with the wallpaper.
TEST_F(Hostile, TheSandboxDegradesAndSaysSo) {
    int abi = landlockAbi();
    Result r = tool("exec", {"check", bundle, "--timeout", "10", "--soak", "1"},
                    {"BACKDROP_LANDLOCK_ABI=0"});
    EXPECT_NE(r.out.find("sandbox: seccomp only (this kernel has no Landlock)"), std::string::npos)
        << r.out;
    EXPECT_NE(lineWith(r.out, "stays inside").find("refused: run /bin/sh"), std::string::npos)
        << r.out;
    r = tool("connect", {"check", bundle, "--timeout", "10", "--soak", "1"},
             {"BACKDROP_LANDLOCK_ABI=3"});
    if (abi >= 3) {
        EXPECT_NE(r.out.find("sandbox: landlock v3 + seccomp"), std::string::npos) << r.out;
        // No TCP rules before ABI 4: seccomp's socket rule refuses the connection.
        EXPECT_NE(lineWith(r.out, "stays inside").find("open a network socket (AF_INET)"),
                  std::string::npos)
            << r.out;
    }
    if (abi >= 1) {
        r = tool("", {"check", bundle, "--timeout", "10", "--soak", "1"});
        EXPECT_NE(r.out.find("sandbox: landlock v" + std::to_string(abi) + " + seccomp"),
                  std::string::npos)
            << r.out;
    }

    r = tool("fork", {"check", bundle, "--timeout", "10", "--soak", "1", "--no-sandbox"});
    EXPECT_NE(r.out.find("sandbox: off (--no-sandbox)"), std::string::npos) << r.out;
    EXPECT_NE(lineWith(r.out, "stays inside").find("not checked (--no-sandbox)"), std::string::npos)
        << r.out;
    Result p = tool("secrets",
                    {"render", bundle, "-o", home / "p.webp", "--seconds", "0.1", "--no-sandbox"});
    EXPECT_EQ(p.code, 0);
    EXPECT_NE(p.err.find("hostile: read the ssh key: allowed"), std::string::npos) << p.err;
    EXPECT_EQ(p.err.find("refused"), std::string::npos) << p.err;
}

// `run` keeps the last frame, says what happened and starts the wallpaper again, later each
// time; a hung wallpaper is killed within its limit.
TEST_F(Hostile, RunReportsRestartsAndBacksOff) {
    if (!bdtest::onPath("Xvfb")) GTEST_SKIP() << "Xvfb is not installed";
    bdtest::Child x = bdtest::spawn(
        {"Xvfb", "-displayfd", "1", "-screen", "0", "640x800x24", "-nolisten", "tcp"}, {}, true);
    ASSERT_GT(x.pid, 0);
    std::string number;
    for (auto end = Clock::now() + std::chrono::seconds(10);
         Clock::now() < end && number.find('\n') == std::string::npos;) {
        bdtest::readSome(x, &number);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(number.find('\n'), std::string::npos) << "Xvfb did not start";
    const std::string display = ":" + number.substr(0, number.find('\n'));

    // Runs until each needle has appeared in turn; the seconds between the first and the last.
    auto runUntil = [&](const std::string& hostile, const std::vector<std::string>& needles,
                        double seconds, const std::string& limit = "10") {
        std::string marker = "BDTEST_MARK=" + std::to_string(getpid()) + "-run-" + hostile;
        bdtest::Child app = bdtest::spawn(
            {bdtest::toolPath(), "run", bundle, "--screen", "200x300@1", "--timeout", limit},
            {"DISPLAY=" + display, "WAYLAND_DISPLAY=", "SDL_AUDIODRIVER=dummy",
             "LSAN_OPTIONS=detect_leaks=0", "HOME=" + home.path(), "BDTEST_HOSTILE=" + hostile,
             marker},
            true);
        std::string out;
        size_t at = 0;
        auto t0 = Clock::now();
        Clock::time_point first, last;
        for (const std::string& n : needles) {
            while (Clock::now() - t0 < std::chrono::duration<double>(seconds) &&
                   out.find(n, at) == std::string::npos) {
                bdtest::readSome(app, &out);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_NE(out.find(n, at), std::string::npos) << hostile << ": " << n << "\n" << out;
            at = out.find(n, at) == std::string::npos ? at : out.find(n, at) + n.size();
            last = Clock::now();
            if (&n == &needles.front()) first = last;
        }
        double took = std::chrono::duration<double>(last - first).count();
        // SDL turns SIGTERM into a quit: the tool ends its wallpaper and leaves cleanly.
        kill(app.pid, SIGTERM);
        EXPECT_EQ(bdtest::waitFor(app, 10), 0) << out;
        EXPECT_EQ(marked(marker), 0) << hostile << ": a process was left behind";
        return took;
    };
    runUntil("exit-frame",
             {"the wallpaper exited (status 0)", "restarting in 1 s", "restarted the wallpaper",
              "the wallpaper exited (status 0)", "restarting in 2 s"},
             20);  // two starts of a wallpaper process and 1 s of back-off, on a loaded machine
    // From the first frame asked for to the kill: the limit plus a second.
    double hung = runUntil("loop", {"running ", "stopped answering for 1 s"}, 10, "1");
    EXPECT_LT(hung, 1 + 1);
    runUntil("exec", {"sandbox: the wallpaper was refused: run /bin/sh"}, 10);

    // A wallpaper that cannot even load: run says so and fails.
    std::string err;
    int code = bdtest::run(
        {bdtest::toolPath(), "run", bundle, "--screen", "200x300@1"}, nullptr, &err,
        {"DISPLAY=" + display, "LSAN_OPTIONS=detect_leaks=0", "BDTEST_HOSTILE=crash-init"}, 20);
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("backdrop: the wallpaper crashed (SIGSEGV)"), std::string::npos) << err;
    kill(x.pid, SIGTERM);
    bdtest::waitFor(x, 5);
}

}  // namespace
