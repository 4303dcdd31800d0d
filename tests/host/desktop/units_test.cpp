// The desktop daemon's parts that need no display: fit arithmetic, rectangles, the state file,
// battery detection, request words and the control socket (with a peer of another user).

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/desktop/ControlSocket.h"
#include "host/desktop/Daemon.h"
#include "host/desktop/Fit.h"
#include "host/desktop/Geometry.h"
#include "host/desktop/PowerSupply.h"
#include "host/desktop/StateFile.h"
#include "support/pictures.h"
#include "support/xservers.h"

using namespace host::desktop;
using host::ScreenSpec;

namespace {

struct TempDir {
    bdtest::TempDir tmp{"desktop"};
    std::string path = tmp.path();
};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

}  // namespace

TEST(DesktopFit, WidthFillsTheMonitorPixelForPixel) {
    // The 320-point view at monitor/320 covers exactly the monitor's pixels, for common and
    // awkward sizes alike (1366 / 320 is not a round number).
    for (auto [w, h] :
         {std::pair{1920, 1080}, {1366, 768}, {3840, 2160}, {1080, 1920}, {801, 601}}) {
        Fitted f = fitScreen(w, h, FitMode::Width, {320, 568, 2}, 0xff000000);
        EXPECT_DOUBLE_EQ(f.screen.width, 320);
        EXPECT_EQ(f.screen.pixelWidth(), w) << w << "x" << h;
        EXPECT_EQ(f.screen.pixelHeight(), h) << w << "x" << h;
        EXPECT_EQ(f.placement, (Placement{0, 0, w, h, false, 0xff000000}));
    }
}

TEST(DesktopFit, PhoneScreenPlacedWithoutResampling) {
    ScreenSpec phone{320, 568, 2};
    // fill: the taller scale wins, the sides are cropped evenly.
    Fitted fill = fitScreen(1920, 1080, FitMode::Fill, phone, 0xff112233);
    EXPECT_DOUBLE_EQ(fill.screen.scale, 6);
    EXPECT_EQ(fill.screen.pixelWidth(), 1920);
    EXPECT_EQ(fill.placement.y, (1080 - 3408) / 2);
    EXPECT_EQ(fill.placement.height, 3408);
    // fit: bands left and right in the background colour.
    Fitted fit = fitScreen(1920, 1080, FitMode::Fit, phone, 0xff112233);
    EXPECT_EQ(fit.screen.pixelHeight(), 1080);
    EXPECT_EQ(fit.placement.x, (1920 - fit.screen.pixelWidth()) / 2);
    EXPECT_EQ(fit.placement.background, 0xff112233u);
    EXPECT_FALSE(fit.placement.stretch);
    // center: the phone's own scale; a screen bigger than the monitor is cropped.
    Fitted center = fitScreen(500, 1000, FitMode::Center, phone, 0);
    EXPECT_EQ(center.placement, (Placement{-70, -68, 640, 1136, false, 0}));
    // stretch: rendered as the phone, resampled to the monitor.
    Fitted stretch = fitScreen(1920, 1080, FitMode::Stretch, phone, 0);
    EXPECT_EQ(stretch.screen.pixelWidth(), 640);
    EXPECT_EQ(stretch.placement, (Placement{0, 0, 1920, 1080, true, 0}));

    FitMode m;
    EXPECT_TRUE(parseFit("stretch", &m));
    EXPECT_FALSE(parseFit("Width", &m));
    uint32_t c;
    EXPECT_TRUE(parseColour("#a0B1c2", &c));
    EXPECT_EQ(c, 0xffa0b1c2u);
    for (const char* bad : {"#12345", "#1234567", "#12345g", ""})
        EXPECT_FALSE(parseColour(bad, &c));
}

TEST(DesktopGeometry, CoverageAndSubtraction) {
    PixelRect out{0, 0, 100, 100};
    EXPECT_TRUE(covers({{0, 0, 60, 100}, {50, 0, 50, 100}}, out));   // overlapping halves
    EXPECT_FALSE(covers({{0, 0, 60, 100}, {61, 0, 39, 100}}, out));  // a one-pixel gap
    EXPECT_TRUE(covers({{-10, -10, 200, 200}}, out));                // bigger than the output
    EXPECT_FALSE(covers({}, out));
    EXPECT_FALSE(covers({{0, 0, 100, 99}}, out));
    // Four windows in the corners with a hole in the middle.
    EXPECT_FALSE(covers({{0, 0, 50, 45}, {50, 0, 50, 50}, {0, 50, 50, 50}, {55, 50, 45, 50}}, out));
    // What a band fill leaves: the picture's complement, no overlaps, same area.
    auto rest = subtract(out, {20, 30, 40, 50});
    long area = 0;
    for (const PixelRect& r : rest) area += long(r.width) * r.height;
    EXPECT_EQ(area, 100 * 100 - 40 * 50);
    EXPECT_TRUE(subtract(out, {-5, -5, 200, 200}).empty());
}

TEST(DesktopState, RoundTripsAndSurvivesBadFiles) {
    TempDir t;
    std::string path = t.path + "/state/backdrop/desktop.plist";
    DesktopState s;
    s.bundle = "/b/Sample & <One>.bundle";
    s.fit = FitMode::Fill;
    s.folder = "/b";
    s.outputs["HDMI-1"] = {"/b/A.bundle", FitMode::Center, true};
    s.outputs["DP \"2\""] = {"/b/B.bundle", FitMode::Width, false};
    std::string error;
    ASSERT_TRUE(saveState(path, s, &error)) << error;
    DesktopState back;
    ASSERT_TRUE(loadState(path, &back, &error)) << error;
    EXPECT_EQ(back, s);
    // No temporary file is left beside it.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(t.path + "/state/backdrop"))
        (void)e, ++files;
    EXPECT_EQ(files, 1);

    // Garbage, an empty dictionary and a FIFO are "no state", never a crash or a hang.
    writeText(path, "not a plist at all");
    EXPECT_FALSE(loadState(path, &back, &error));
    writeText(path, "<plist><dict><key>outputs</key><string>x</string></dict></plist>");
    EXPECT_FALSE(loadState(path, &back, &error));
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(loadState(path, &back, &error));
    // Saving replaces the FIFO with a file rather than writing into it.
    EXPECT_TRUE(saveState(path, s, &error)) << error;
    EXPECT_TRUE(loadState(path, &back, &error)) << error;
}

TEST(DesktopPower, BatteryOnlyWhenABatteryRunsWithoutAnAdapter) {
    TempDir t;
    auto entry = [&](const std::string& name, const std::string& type, const std::string& online) {
        std::filesystem::create_directories(t.path + "/" + name);
        writeText(t.path + "/" + name + "/type", type + "\n");
        if (!online.empty()) writeText(t.path + "/" + name + "/online", online + "\n");
    };
    EXPECT_FALSE(onBattery(t.path));  // a desktop: no supplies at all
    EXPECT_FALSE(onBattery(t.path + "/missing"));
    entry("AC", "Mains", "0");
    EXPECT_FALSE(onBattery(t.path));  // an adapter and no battery (a UPS-less desktop)
    entry("BAT0", "Battery", "");
    EXPECT_TRUE(onBattery(t.path));
    entry("AC", "Mains", "1");
    EXPECT_FALSE(onBattery(t.path));
    entry("usb", "USB", "1");
    entry("AC", "Mains", "0");
    EXPECT_FALSE(onBattery(t.path));  // charging over USB-C
    // A FIFO where a file should be is not waited on.
    std::filesystem::remove(t.path + "/usb/online");
    ASSERT_EQ(mkfifo((t.path + "/usb/online").c_str(), 0600), 0);
    EXPECT_TRUE(onBattery(t.path));

    // The watch notices a change through inotify, without a re-read timer.
    PowerWatch watch(t.path);
    EXPECT_TRUE(watch.battery());
    writeText(t.path + "/AC/online", "1\n");
    EXPECT_TRUE(watch.update());
    EXPECT_FALSE(watch.battery());
}

TEST(DesktopControl, WordsAndSocketNames) {
    std::vector<std::string> w;
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"set", "all", "/a b/c\"d\\.bundle", "--fit", "fill"},
          std::vector<std::string>{"tap", "10,20"}, std::vector<std::string>{"x", ""}}) {
        ASSERT_TRUE(splitWords(joinWords(words), &w));
        EXPECT_EQ(w, words);
    }
    EXPECT_FALSE(splitWords("set \"unclosed", &w));
    EXPECT_EQ(socketPath("/r", ":0.0"), "/r/:0.sock");
    EXPECT_EQ(socketPath("/r", ":0"), "/r/:0.sock");
    EXPECT_EQ(socketPath("/r", "/tmp/launch/org.x:0"), "/r/_tmp_launch_org.x:0.sock");
    // A display named by a long socket path still gets an address that fits, one per display.
    std::string run = "/tmp/backdrop-test-run.AbCdEf/bd-wl-desktop-GhIjKl/run/backdrop";
    std::string a = socketPath(run, "/tmp/backdrop-test-run.AbCdEf/bd-sway-MnOpQr/run/wayland-1");
    std::string b = socketPath(run, "/tmp/backdrop-test-run.AbCdEf/bd-sway-MnOpQr/run/wayland-2");
    EXPECT_LT(a.size(), sizeof(sockaddr_un{}.sun_path));
    EXPECT_EQ(a.rfind(run + "/", 0), 0u) << a;
    EXPECT_NE(a.find("wayland-1-"), std::string::npos) << a;
    EXPECT_NE(a, b);
    EXPECT_EQ(a, socketPath(run, "/tmp/backdrop-test-run.AbCdEf/bd-sway-MnOpQr/run/wayland-1"));
}

TEST(DesktopControl, OneDaemonPerSocketAndHostileClients) {
    TempDir t;
    std::string path = t.path + "/d.sock";
    ControlServer server;
    pid_t running = 0;
    std::string error;
    ASSERT_TRUE(server.open(path, &running, &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    {
        ControlServer second;
        EXPECT_FALSE(second.open(path, &running, &error));
        EXPECT_EQ(running, getpid());
    }
    // The server answers from this thread's loop; clients run in a child process.
    auto serve = [&](pid_t child) {
        int status = 0;
        for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i) {
            for (auto& r : server.handle()) server.reply(r.client, {"echo " + r.line});
            usleep(10000);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    auto raw = [&](const std::string& bytes) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, path.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return std::string("no");
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        std::string in;
        char buf[256];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) in.append(buf, size_t(n));
        close(fd);
        return in;
    };
    pid_t child = fork();
    if (child == 0) {
        std::vector<std::string> lines;
        bool noDaemon = false;
        std::string e;
        bool ok = controlRequest(path, "query --json", &lines, &e, &noDaemon);
        if (!ok || lines != std::vector<std::string>{"echo query --json"}) _exit(10);
        if (raw(std::string(5000, 'x') + "\n").find("error: request too long") != 0) _exit(11);
        if (raw("bad\x01line\n").find("error: malformed") != 0) _exit(12);
        if (raw("\xff\xfe\n").find("error: malformed") != 0) _exit(13);
        if (raw("half a line").find("error: incomplete") != 0) _exit(14);
        _exit(0);
    }
    EXPECT_EQ(serve(child), 0);

    // A peer of another user is refused even when it can reach the socket.
    chmod(t.path.c_str(), 0755);
    chmod(path.c_str(), 0666);
    child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(20);
        std::vector<std::string> lines;
        bool noDaemon = false;
        std::string e;
        bool ok = controlRequest(path, "quit", &lines, &e, &noDaemon);
        _exit(!ok && e.find("refused") != std::string::npos ? 0 : 21);
    }
    if (geteuid() == 0)
        EXPECT_EQ(serve(child), 0);
    else
        serve(child);

    // No daemon: a clear answer, not a hang.
    std::vector<std::string> lines;
    bool noDaemon = false;
    EXPECT_FALSE(controlRequest(t.path + "/none.sock", "query", &lines, &error, &noDaemon));
    EXPECT_TRUE(noDaemon);
}
