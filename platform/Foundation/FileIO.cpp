#include "Foundation/FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

namespace bd {

namespace {

constexpr const char* kTempMark = ".backdrop-tmp.";
// A temporary's name holds at most this much of the file's name, so it stays within NAME_MAX.
constexpr size_t kNamePart = 200;
constexpr int kTempAttempts = 1000;

// Temporaries this process is writing now: a sweep must not take them for a dead writer's.
std::mutex gLiveMutex;
std::set<std::string> gLive;

void markLive(const std::string& path, bool live) {
    std::lock_guard lock(gLiveMutex);
    if (live)
        gLive.insert(path);
    else
        gLive.erase(path);
}

bool isLive(const std::string& path) {
    std::lock_guard lock(gLiveMutex);
    return gLive.count(path) > 0;
}

std::string tempPrefix(const std::string& name) {
    return "." + name.substr(0, kNamePart) + kTempMark;
}

// The writer's process id in a temporary's name, or 0.
pid_t temporaryOwner(const std::string& name, const std::string& target) {
    std::string prefix = tempPrefix(target);
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    size_t i = prefix.size(), start = i;
    long long pid = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9' && i - start < 10)
        pid = pid * 10 + (name[i++] - '0');
    if (i == start || pid <= 0) return 0;
    if (i < name.size()) {
        if (name[i] != '.' || i + 1 == name.size()) return 0;
        for (size_t j = i + 1; j < name.size(); ++j)
            if (name[j] < '0' || name[j] > '9') return 0;
    }
    return static_cast<pid_t>(pid);
}

// Removes the temporaries of `base` in `dir` whose writer is gone: a process id that no longer
// exists, or this process's own id on a name it is not writing (left by an earlier process that
// had the same id).
void sweepTemporaries(const std::string& dir, const std::string& base) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    pid_t self = getpid();
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        pid_t owner = temporaryOwner(name, base);
        if (!owner) continue;
        std::string path = dir + "/" + name;
        bool gone = owner == self ? !isLive(path) : (kill(owner, 0) != 0 && errno == ESRCH);
        if (gone) ::unlinkat(dirfd(d), name.c_str(), 0);
    }
    closedir(d);
}

void splitPath(const std::string& path, std::string& dir, std::string& base) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir = ".";
        base = path;
    } else {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

// Creates a fresh temporary for `base` in the folder (dirFd, or the path dir when dirFd is
// AT_FDCWD); the descriptor, or -1 with errno set.
int createTemporary(int dirFd, const std::string& dir, const std::string& base, std::string& name) {
    std::string prefix = tempPrefix(base) + std::to_string(getpid());
    for (int n = 0; n < kTempAttempts; ++n) {
        name = n == 0 ? prefix : prefix + "." + std::to_string(n);
        std::string at = dirFd == AT_FDCWD ? dir + "/" + name : name;
        if (dirFd == AT_FDCWD) markLive(at, true);  // before it exists, so no sweep takes it
        int fd =
            ::openat(dirFd, at.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        int err = errno;
        if (dirFd == AT_FDCWD) markLive(at, false);
        errno = err;
        if (err != EEXIST) return -1;
    }
    return -1;
}

bool writeAll(int fd, const void* bytes, size_t length) {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        ssize_t n = ::write(fd, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int openRegularFile(const char* path) {
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool readRegularFile(const char* path, std::vector<uint8_t>& out, uint64_t maxBytes) {
    out.clear();
    int fd = openRegularFile(path);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    out.reserve(static_cast<size_t>(st.st_size));
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || out.size() + static_cast<size_t>(n) > maxBytes) {  // a file that grew
            ::close(fd);
            out.clear();
            return false;
        }
        if (n == 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    ::close(fd);
    return true;
}

bool isTemporaryOf(const std::string& name, const std::string& target) {
    return temporaryOwner(name, target) != 0;
}

// ---------------------------------------------------------------------------------------------

AtomicFileWriter::~AtomicFileWriter() {
    abandon();
}

void AtomicFileWriter::abandon() {
    if (_file) std::fclose(_file);
    _file = nullptr;
    if (!_temp.empty()) {
        ::unlink(_temp.c_str());
        markLive(_temp, false);
    }
    _temp.clear();
}

bool AtomicFileWriter::open(const std::string& path) {
    abandon();
    _inPlace = _special = false;
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    // Through a symbolic link to the file it names, so the link stays and the temporary lies on
    // the file's own file system. A link that leads nowhere is written through, as "wb" does.
    _target = path;
    struct stat st;
    bool dangling = false;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            _target = real;
            std::free(real);
        } else {
            dangling = true;
        }
    }
    bool exists = stat(_target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // A device or a FIFO (-o /dev/null, a pipe to another program) can't be replaced: it is
    // written as it is. A rename would split hard links: those files must see the new content
    // too.
    _special = exists && !S_ISREG(st.st_mode);
    _inPlace = dangling || _special || (exists && st.st_nlink > 1);

    if (!_inPlace) {
        std::string dir, base, name;
        splitPath(_target, dir, base);
        sweepTemporaries(dir, base);
        int fd = createTemporary(AT_FDCWD, dir, base, name);
        if (fd < 0) {
            // A folder that takes no new file, around a file that may still be writable.
            if (!exists || (errno != EACCES && errno != EPERM)) return false;
            _inPlace = true;
        } else {
            _temp = dir + "/" + name;
            if (exists) {
                (void)fchown(fd, st.st_uid, st.st_gid);  // succeeds only where allowed
                (void)fchmod(fd, st.st_mode & 07777);
            }
            _file = fdopen(fd, "wb");
            if (!_file) {
                int err = errno;
                ::close(fd);
                abandon();
                errno = err;
                return false;
            }
            return true;
        }
    }
    _file = std::fopen(_inPlace && !dangling ? _target.c_str() : path.c_str(), "wb");
    return _file != nullptr;
}

bool AtomicFileWriter::commit() {
    if (!_file) return false;
    bool ok = std::fflush(_file) == 0 && !std::ferror(_file);
    ok = ok && (_special || fsync(fileno(_file)) == 0);  // a device may not sync
    ok = std::fclose(_file) == 0 && ok;
    _file = nullptr;
    if (!_temp.empty()) {
        ok = ok && std::rename(_temp.c_str(), _target.c_str()) == 0;
        if (!ok) ::unlink(_temp.c_str());
        markLive(_temp, false);
        _temp.clear();
    }
    return ok;
}

bool writeFileAtomically(const std::string& path, const void* bytes, size_t length) {
    AtomicFileWriter writer;
    if (!writer.open(path)) return false;
    if (length && std::fwrite(bytes, 1, length, writer.file()) != length) return false;
    return writer.commit();
}

bool writeFileAtomicallyAt(int dirFd, const std::string& name, const void* bytes, size_t length) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    struct stat st;
    bool exists = fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    std::string temp;
    int fd = createTemporary(dirFd, "", name, temp);
    if (fd < 0) return false;
    if (exists && S_ISREG(st.st_mode)) (void)fchmod(fd, st.st_mode & 07777);
    bool ok = writeAll(fd, bytes, length) && fsync(fd) == 0;
    int err = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::renameat(dirFd, temp.c_str(), dirFd, name.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlinkat(dirFd, temp.c_str(), 0);
        errno = err ? err : EIO;
    }
    return ok;
}

}  // namespace bd
