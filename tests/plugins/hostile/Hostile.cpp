// A wallpaper that misbehaves on purpose, for the tests of the wallpaper process. What it does
// is chosen by the environment variable BDTEST_HOSTILE (the wallpaper process inherits the
// tool's environment); with none set it is a plain wallpaper whose own frame loop moves a
// square. Its log lines say what its attempts got, so a test can see them refused.
//
//   crash-load    write through a null pointer while the library loads
//   crash-init    ... in initWithFrame:
//   crash-late    ... in doAnimating 3 s (media time) after the first frame
//   crash-thread  ... on the resource thread, 5 s (media time) after it starts
//   abort         abort() in the first frame          throw     an uncaught exception there
//   exit-load     exit(0) while the library loads     exit-frame  exit(0) in the first frame
//   loop          spin for ever in the first frame    sleep     sleep 60 s in the first frame
//   close-fds     close descriptors 3 to 1023 in initWithFrame:, then wait for ever
//   fork          start three processes that sleep 60 s, in initWithFrame:
//   alloc         allocate and touch 20 GB in initWithFrame:
//   leak          leak 1 MiB (touched) in every frame
//   forge         write check-report lines to descriptors 1 to 1023, then exit(0)
//   secrets       read /etc/shadow and $HOME/.ssh/id_ed25519, list $HOME/.ssh, write $HOME
//   connect       connect to 127.0.0.1:$BDTEST_PORT
//   unix          connect to the Unix socket $BDTEST_UNIX_SOCKET (as a display server or a
//                 session bus listens), and send to the datagram socket $BDTEST_UNIX_DGRAM
//                 (as a log or notify socket listens) from a socket pair of its own
//   exec          run /bin/sh
//   signal        send SIGKILL to the process $BDTEST_VICTIM, and to every process it may (-1)
//                 with signal 0
//   spin          keep a core busy on a thread of its own from initWithFrame: on, paused or not

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "Foundation/NSLog.h"
#include "Foundation/NSThread.h"
#include "QuartzCore/CABase.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIScreen.h"
#include "interface/DeskTopViewEntryPoints.h"

namespace {

bool is(const char* what) {
    const char* v = std::getenv("BDTEST_HOSTILE");
    return v && std::strcmp(v, what) == 0;
}

// A write through a null pointer that the compiler cannot see as one (it would drop the call).
int* volatile nowhere = nullptr;
void* volatile leaked = nullptr;
__attribute__((noinline)) void crashHere() {
    *nowhere = 1;
}

__attribute__((constructor)) void atLoad() {
    if (is("crash-load")) crashHere();
    if (is("exit-load")) std::exit(0);
}

const char* outcome(bool ok) {
    return ok ? "allowed" : errno == EACCES || errno == EPERM ? "refused" : "failed";
}

void trySecrets() {
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/root";
    int fd = open("/etc/shadow", O_RDONLY);
    NSLog("hostile: read /etc/shadow: %s", outcome(fd >= 0));
    if (fd >= 0) close(fd);
    FILE* f = std::fopen((home + "/.ssh/id_ed25519").c_str(), "r");
    NSLog("hostile: read the ssh key: %s", outcome(f != nullptr));
    if (f) std::fclose(f);
    DIR* d = opendir((home + "/.ssh").c_str());
    NSLog("hostile: list ~/.ssh: %s", outcome(d != nullptr));
    if (d) closedir(d);
    fd = open((home + "/written-by-wallpaper").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    NSLog("hostile: write to $HOME: %s", outcome(fd >= 0));
    if (fd >= 0) close(fd);
}

void tryConnect() {
    const char* port = std::getenv("BDTEST_PORT");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    bool ok = false;
    if (s >= 0) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port ? std::atoi(port) : 9));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(s);
    }
    NSLog("hostile: connect to 127.0.0.1: %s", outcome(ok));
}

sockaddr_un unixAddress(const char* variable) {
    const char* path = std::getenv(variable);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path ? path : "", sizeof a.sun_path - 1);
    return a;
}

void tryUnix() {
    sockaddr_un a = unixAddress("BDTEST_UNIX_SOCKET");
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    bool ok = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (s >= 0) close(s);
    NSLog("hostile: connect to a Unix socket: %s", outcome(ok));
    int pair[2];
    ok = socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) == 0;
    if (ok) {
        sockaddr_un d = unixAddress("BDTEST_UNIX_DGRAM");
        ok = sendto(pair[0], "x", 1, 0, reinterpret_cast<sockaddr*>(&d), sizeof d) == 1;
        close(pair[0]);
        close(pair[1]);
    }
    NSLog("hostile: send to a Unix socket: %s", outcome(ok));
}

void trySignal() {
    const char* victim = std::getenv("BDTEST_VICTIM");
    bool ok = victim && kill(pid_t(std::atoi(victim)), SIGKILL) == 0;
    NSLog("hostile: kill another process: %s", outcome(ok));
    // Signal 0 delivers nothing; to -1 it would reach every process of the user.
    ok = kill(-1, 0) == 0;
    NSLog("hostile: signal every process: %s", outcome(ok));
}

void tryExec() {
    char sh[] = "/bin/sh", c[] = "-c", cmd[] = "exit 0";
    char* argv[] = {sh, c, cmd, nullptr};
    execv("/bin/sh", argv);
    NSLog("hostile: run /bin/sh: %s", outcome(false));
}

class HostileView : public DeskTopView {
  public:
    HostileView* initWithFrame(CGRect frame) override {
        if (!DeskTopView::initWithFrame(frame)) return nullptr;
        setBackgroundColor(UIColor::colorWithRed(0.2, 0.3, 0.5, 1));
        _square = adopt(alloc<UIView>()->initWithFrame(CGRectMake(0, 100, 40, 40)));
        _square->setBackgroundColor(UIColor::whiteColor());
        addSubview(_square.get());
        if (is("crash-init")) crashHere();
        if (is("close-fds")) {
            for (int fd = 3; fd < 1024; ++fd) close(fd);
            for (;;) pause();
        }
        if (is("fork"))
            for (int i = 0; i < 3; ++i) {
                pid_t p = fork();
                if (p == 0) {
                    sleep(60);
                    _exit(0);
                }
                NSLog("hostile: fork: %s", outcome(p > 0));
            }
        if (is("alloc")) {
            size_t size = size_t(20) << 30;
            char* p = new char[size];
            std::memset(p, 1, size);
            leaked = p;
            NSLog("hostile: allocated %p", static_cast<void*>(p));
        }
        if (is("forge")) {
            const char* lines[] = {"plan\tthe wallpaper is perfect\n", "begin\t0\n", "ok\t0\t\n",
                                   "all 1 checks passed\n"};
            for (int fd = 1; fd < 1024; ++fd)
                for (const char* l : lines) {
                    ssize_t rc = write(fd, l, std::strlen(l));
                    (void)rc;
                }
            std::exit(0);
        }
        if (is("secrets")) trySecrets();
        if (is("connect")) tryConnect();
        if (is("unix")) tryUnix();
        if (is("signal")) trySignal();
        if (is("spin"))
            std::thread([] {
                std::atomic<uint64_t> n{0};
                for (;;) n.fetch_add(1, std::memory_order_relaxed);
            }).detach();
        if (is("exec")) tryExec();
        return this;
    }

    void initResource() override {
        if (!is("crash-thread")) return;
        NSThread::sleepForTimeInterval(5);
        crashHere();
    }

    void doAnimating() override {
        double now = CACurrentMediaTime();
        if (_first == 0) _first = now;
        if (is("crash-late") && now - _first >= 3) crashHere();
        if (is("abort")) std::abort();
        if (is("throw")) throw std::runtime_error("a wallpaper that throws");
        if (is("exit-frame")) std::exit(0);
        if (is("loop")) {
            volatile unsigned long spins = 0;
            for (;;) spins = spins + 1;
        }
        if (is("sleep")) sleep(60);
        if (is("leak")) {
            char* p = static_cast<char*>(std::malloc(1 << 20));
            if (p) std::memset(p, 7, 1 << 20);
            leaked = p;  // kept out of the optimiser's reach, and never freed
        }
        CGPoint c = _square->center();
        c.x = c.x + 1 > bounds().size.width ? 0 : c.x + 1;
        _square->setCenter(c);
    }

  protected:
    void dealloc() override {
        _square = nullptr;
        DeskTopView::dealloc();
    }

  private:
    Ref<UIView> _square;
    double _first = 0;
};

}  // namespace

NSString* getDeskTopViewName() {
    return NSSTR("hostile");
}

NSString* getDeskTopViewVersion() {
    return NSSTR("1");
}

DeskTopView* getDeskTopViewInstance(NSBundle* bundle) {
    (void)bundle;
    CGRect screen = UIScreen::mainScreen()->bounds();
    HostileView* v = alloc<HostileView>()->initWithFrame(
        CGRectMake(0, 0, kDeskTopViewWidth, screen.size.height));
    if (v) v->autorelease();
    return v;
}
