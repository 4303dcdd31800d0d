// The control socket: a Unix stream socket with one request per connection.

#include "ControlSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Foundation/NSString.h"

namespace host::desktop {

namespace {

constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxClients = 32;
constexpr double kClientSeconds = 5;

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

bool socketAddress(const std::string& path, sockaddr_un* addr, std::string* error) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) {
        *error = "the socket path is too long: " + path;
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Makes dir with mode 0700 when missing; refuses one that is not ours or is open to others.
bool privateDir(const std::string& dir, std::string* error) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a folder";
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *error = dir + " belongs to another user";
        return false;
    }
    if (st.st_mode & 022) ::chmod(dir.c_str(), 0700);
    return true;
}

}  // namespace

std::string runtimeDir(std::string* error) {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    std::string base;
    if (xdg && xdg[0] == '/') {
        base = std::string(xdg) + "/backdrop";
    } else {
        base = "/tmp/backdrop-" + std::to_string(::geteuid());
    }
    if (!privateDir(base, error)) return "";
    return base;
}

std::string socketPath(const std::string& runtimeDir, const std::string& display) {
    std::string name = display.empty() ? "default" : display;
    // ":0.1" -> ":0": one daemon serves every screen of a display.
    size_t colon = name.rfind(':');
    size_t dot = name.find('.', colon == std::string::npos ? 0 : colon);
    if (colon != std::string::npos && dot != std::string::npos) name.resize(dot);
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
    std::string path = runtimeDir + "/" + name + ".sock";
    // A display given as a long socket path (WAYLAND_DISPLAY=/run/.../wayland-1) would not fit
    // in a Unix socket's address: such a name becomes its tail and a hash of the whole, still one
    // name per display. The longest path a socket address holds keeps room for ".lock".
    constexpr size_t kLongest = sizeof(sockaddr_un{}.sun_path) - 1;
    if (path.size() > kLongest) {
        uint64_t h = 1469598103934665603ull;  // FNV-1a
        for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
        char hash[17];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(h));
        std::string tail = name.substr(name.size() - std::min<size_t>(name.size(), 16));
        path = runtimeDir + "/" + tail + "-" + hash + ".sock";
    }
    return path;
}

ControlServer::~ControlServer() {
    while (!_clients.empty()) drop(_clients.size() - 1);
    if (_listen >= 0) {
        ::close(_listen);
        ::unlink(_path.c_str());
    }
    if (_lock >= 0) ::close(_lock);
}

bool ControlServer::open(const std::string& path, pid_t* running, std::string* error) {
    *running = 0;
    sockaddr_un addr;
    if (!socketAddress(path, &addr, error)) return false;
    std::string lockPath = path + ".lock";
    _lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (_lock < 0) {
        *error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(_lock, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {};
        ssize_t n = ::pread(_lock, buf, sizeof buf - 1, 0);
        if (n > 0) *running = pid_t(std::strtol(buf, nullptr, 10));
        ::close(_lock);
        _lock = -1;
        *error = "already running";
        return false;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(_lock, 0) != 0 || ::pwrite(_lock, pid.data(), pid.size(), 0) < 0) {
        // The pid is a courtesy for the message of a second start; the lock is what counts.
    }
    // The lock is ours, so a socket file left there is a dead daemon's.
    ::unlink(path.c_str());
    _listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    mode_t old = ::umask(0177);
    bool bound =
        _listen >= 0 && ::bind(_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::chmod(path.c_str(), 0600) != 0 || ::listen(_listen, 16) != 0) {
        *error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (_listen >= 0) ::close(_listen);
        _listen = -1;
        return false;
    }
    _path = path;
    return true;
}

std::vector<int> ControlServer::fds() const {
    std::vector<int> out;
    if (_listen >= 0) out.push_back(_listen);
    for (const Client& c : _clients)
        if (!c.answered) out.push_back(c.fd);
    return out;
}

int ControlServer::timeoutMs() const {
    if (_clients.empty()) return -1;
    double first = INFINITY;
    for (const Client& c : _clients) first = std::min(first, c.deadline);
    return int(std::clamp(std::ceil((first - monotonicSeconds()) * 1000), 0.0, 60000.0));
}

void ControlServer::drop(size_t index) {
    ::close(_clients[index].fd);
    _clients.erase(_clients.begin() + long(index));
}

void ControlServer::send(Client& c, const std::string& text) {
    // Answers are small and the socket buffer holds them; a client that does not read them
    // loses the rest rather than stalling the daemon.
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n =
            ::send(c.fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
}

std::vector<ControlServer::Request> ControlServer::handle() {
    std::vector<Request> out;
    if (_listen < 0) return out;
    double now = monotonicSeconds();
    for (;;) {
        int fd = ::accept4(_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        Client c{_nextId++, fd, {}, now + kClientSeconds};
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            cred.uid != ::geteuid()) {
            send(c, "error: refused: this daemon belongs to another user\n");
            ::close(fd);
            continue;
        }
        if (_clients.size() >= kMaxClients) {
            send(c, "error: busy\n");
            ::close(fd);
            continue;
        }
        _clients.push_back(std::move(c));
    }
    for (size_t i = 0; i < _clients.size();) {
        Client& c = _clients[i];
        if (c.answered) {
            ++i;
            continue;
        }
        bool closed = false;
        char buf[1024];
        for (;;) {
            ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                c.in.append(buf, size_t(n));
                if (c.in.size() > kMaxLine) break;
                continue;
            }
            if (n == 0) closed = true;
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        size_t nl = c.in.find('\n');
        std::string error;
        if (nl == std::string::npos && c.in.size() > kMaxLine) {
            error = "request too long";
        } else if (nl != std::string::npos) {
            std::string line = c.in.substr(0, nl);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (nl > kMaxLine) {
                error = "request too long";
            } else if (!NSString::isValidUTF8(line.data(), line.size()) ||
                       std::any_of(line.begin(), line.end(), [](char ch) {
                           return static_cast<unsigned char>(ch) < 0x20 && ch != '\t';
                       })) {
                error = "malformed request (control bytes or not UTF-8)";
            } else {
                c.answered = true;  // one request per connection
                out.push_back({c.id, line});
                ++i;
                continue;
            }
        } else if (closed || now > c.deadline) {
            if (!c.in.empty()) send(c, "error: incomplete request\n");
            drop(i);
            continue;
        } else {
            ++i;
            continue;
        }
        send(c, "error: " + error + "\n");
        drop(i);
    }
    return out;
}

void ControlServer::reply(uint64_t client, const std::vector<std::string>& lines,
                          const std::string& error) {
    for (size_t i = 0; i < _clients.size(); ++i) {
        if (_clients[i].id != client) continue;
        std::string text;
        for (const std::string& l : lines) text += l + "\n";
        text += error.empty() ? std::string("ok\n") : "error: " + error + "\n";
        send(_clients[i], text);
        drop(i);
        return;
    }
}

bool controlRequest(const std::string& path, const std::string& line,
                    std::vector<std::string>* lines, std::string* error, bool* noDaemon,
                    double timeoutSeconds) {
    *noDaemon = false;
    lines->clear();
    sockaddr_un addr;
    if (!socketAddress(path, &addr, error)) {
        *noDaemon = true;
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = std::string("no daemon runs (") + path + ": " + std::strerror(errno) + ")";
        *noDaemon = true;
        if (fd >= 0) ::close(fd);
        return false;
    }
    std::string request = line + "\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) {
        *error = "the daemon did not take the request";
        ::close(fd);
        return false;
    }
    std::string in;
    double end = monotonicSeconds() + timeoutSeconds;
    bool done = false;
    while (!done) {
        double left = end - monotonicSeconds();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(std::ceil(left * 1000))) <= 0) continue;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(buf, size_t(n));
        if (in.size() > (16u << 20)) break;
        // Complete when the last full line is "ok" or an error.
        size_t lastNl = in.rfind('\n');
        if (lastNl == std::string::npos) continue;
        size_t start = in.rfind('\n', lastNl == 0 ? 0 : lastNl - 1);
        start = start == std::string::npos || start >= lastNl ? 0 : start + 1;
        std::string last = in.substr(start, lastNl - start);
        done = last == "ok" || last.rfind("error: ", 0) == 0;
    }
    ::close(fd);
    size_t pos = 0;
    std::string last;
    while (pos < in.size()) {
        size_t nl = in.find('\n', pos);
        if (nl == std::string::npos) break;
        std::string l = in.substr(pos, nl - pos);
        pos = nl + 1;
        if (l == "ok" || l.rfind("error: ", 0) == 0) {
            last = l;
            break;
        }
        lines->push_back(l);
    }
    if (last == "ok") return true;
    if (last.empty()) {
        *error = done ? "no answer" : "the daemon did not answer in time";
        return false;
    }
    *error = last.substr(7);
    return false;
}

}  // namespace host::desktop
