// Battery state from the power-supply class folder.

#include "PowerSupply.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace host::desktop {

namespace {

constexpr double kSafetyReadSeconds = 60;

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// The first line of a small regular file ("" when missing, not a regular file, or empty). A FIFO
// or a device where a file should be is not waited on.
std::string firstLine(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return "";
    struct stat st {};
    std::string out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        char buf[64];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) out.assign(buf, size_t(n));
    }
    ::close(fd);
    size_t end = out.find_first_of("\r\n");
    if (end != std::string::npos) out.resize(end);
    return out;
}

template <class F>
void forEachEntry(const std::string& dir, F f) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    int count = 0;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (++count > 256) break;  // a folder of thousands of entries is not a power supply
        f(dir + "/" + name);
    }
    ::closedir(d);
}

}  // namespace

bool onBattery(const std::string& dir) {
    bool battery = false, adapterOnline = false;
    forEachEntry(dir, [&](const std::string& entry) {
        std::string type = firstLine(entry + "/type");
        if (type == "Battery") {
            // A battery that says it is not present (an empty bay) does not count.
            std::string present = firstLine(entry + "/present");
            if (present != "0") battery = true;
        } else if (type == "Mains" || type == "USB" || type == "UPS") {
            if (firstLine(entry + "/online") == "1") adapterOnline = true;
        }
    });
    return battery && !adapterOnline;
}

PowerWatch::PowerWatch(std::string dir) : _dir(std::move(dir)) {
    _inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watchEntries();
    if (_dir.rfind("/sys/", 0) == 0) {
        _uevent =
            ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        if (_uevent >= 0) {
            sockaddr_nl addr{};
            addr.nl_family = AF_NETLINK;
            addr.nl_groups = 1;  // the kernel's broadcast group
            if (::bind(_uevent, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(_uevent);
                _uevent = -1;
            }
        }
    }
    _battery = onBattery(_dir);
    _nextRead = monotonicSeconds() + kSafetyReadSeconds;
}

PowerWatch::~PowerWatch() {
    if (_inotify >= 0) ::close(_inotify);
    if (_uevent >= 0) ::close(_uevent);
}

void PowerWatch::watchEntries() {
    if (_inotify < 0) return;
    constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                               IN_MOVED_FROM | IN_ATTRIB;
    ::inotify_add_watch(_inotify, _dir.c_str(), kMask);
    forEachEntry(_dir, [&](const std::string& entry) {
        ::inotify_add_watch(_inotify, entry.c_str(), kMask);  // fails quietly for plain files
    });
}

int PowerWatch::timeoutMs() const {
    double left = _nextRead - monotonicSeconds();
    return int(std::clamp(std::ceil(left * 1000), 0.0, kSafetyReadSeconds * 1000));
}

bool PowerWatch::update() {
    char buf[4096];
    bool newEntries = false;
    if (_inotify >= 0) {
        ssize_t n;
        while ((n = ::read(_inotify, buf, sizeof buf)) > 0) {
            for (ssize_t off = 0; off + ssize_t(sizeof(inotify_event)) <= n;) {
                auto* ev = reinterpret_cast<inotify_event*>(buf + off);
                if (ev->mask & (IN_CREATE | IN_MOVED_TO)) newEntries = true;
                off += ssize_t(sizeof(inotify_event)) + ssize_t(ev->len);
            }
        }
    }
    if (_uevent >= 0)
        while (::recv(_uevent, buf, sizeof buf, 0) > 0) {
        }
    if (newEntries) watchEntries();  // a new adapter or battery folder: watch it too
    _nextRead = monotonicSeconds() + kSafetyReadSeconds;
    bool was = _battery;
    _battery = onBattery(_dir);
    return was != _battery;
}

}  // namespace host::desktop
