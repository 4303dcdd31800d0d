#include "Protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace host::wire {

Writer::Writer(Type type, uint64_t seq) {
    _b.reserve(64);
    u32(kMagic);
    u16(uint16_t(type));
    u16(0);
    u64(seq);
}

void Writer::put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    _b.insert(_b.end(), b, b + n);
}

Writer& Writer::u8(uint8_t v) {
    put(&v, 1);
    return *this;
}
Writer& Writer::u16(uint16_t v) {
    put(&v, 2);
    return *this;
}
Writer& Writer::u32(uint32_t v) {
    put(&v, 4);
    return *this;
}
Writer& Writer::u64(uint64_t v) {
    put(&v, 8);
    return *this;
}
Writer& Writer::i32(int32_t v) {
    put(&v, 4);
    return *this;
}
Writer& Writer::i64(int64_t v) {
    put(&v, 8);
    return *this;
}
Writer& Writer::f64(double v) {
    put(&v, 8);
    return *this;
}
Writer& Writer::str(const std::string& s) {
    uint32_t n = uint32_t(s.size() < kMaxText ? s.size() : kMaxText);
    u32(n);
    put(s.data(), n);
    return *this;
}

Reader::Reader(const uint8_t* data, size_t size) : _p(data), _size(size) {}

bool Reader::take(void* p, size_t n) {
    if (!_ok || n > _size - _at) {
        _ok = false;
        std::memset(p, 0, n);
        return false;
    }
    std::memcpy(p, _p + _at, n);
    _at += n;
    return true;
}

bool Reader::header(Header* h) {
    uint32_t magic = u32();
    uint16_t type = u16();
    uint16_t zero = u16();
    h->seq = u64();
    h->type = Type(type);
    if (magic != kMagic || zero != 0) _ok = false;
    return _ok;
}

uint8_t Reader::u8() {
    uint8_t v;
    take(&v, 1);
    return v;
}
uint16_t Reader::u16() {
    uint16_t v;
    take(&v, 2);
    return v;
}
uint32_t Reader::u32() {
    uint32_t v;
    take(&v, 4);
    return v;
}
uint64_t Reader::u64() {
    uint64_t v;
    take(&v, 8);
    return v;
}
int32_t Reader::i32() {
    int32_t v;
    take(&v, 4);
    return v;
}
int64_t Reader::i64() {
    int64_t v;
    take(&v, 8);
    return v;
}
double Reader::f64() {
    double v;
    take(&v, 8);
    return v;
}

std::string Reader::str(size_t maxBytes) {
    uint32_t n = u32();
    // The length is checked against what the message holds before anything is sized by it.
    if (!_ok || n > maxBytes || n > _size - _at) {
        _ok = false;
        return {};
    }
    std::string s(reinterpret_cast<const char*>(_p + _at), n);
    _at += n;
    return s;
}

bool send(int socket, const Writer& message, const std::vector<int>& fds) {
    const std::vector<uint8_t>& b = message.bytes();
    iovec iov{const_cast<uint8_t*>(b.data()), b.size()};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxBuffers)] = {};
    if (!fds.empty()) {
        if (fds.size() > size_t(kMaxBuffers)) return false;
        m.msg_control = control;
        m.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    for (;;) {
        ssize_t n = sendmsg(socket, &m, MSG_NOSIGNAL);
        if (n >= 0) return size_t(n) == b.size();
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{socket, POLLOUT, 0};
            if (poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
}

bool sendRaw(int socket, const void* bytes, size_t size) {
    for (int tries = 0; tries < 100; ++tries) {
        ssize_t n = ::send(socket, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return size_t(n) == size;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd p{socket, POLLOUT, 0};
        poll(&p, 1, 10);
    }
    return false;
}

Received receive(int socket, std::vector<uint8_t>* message, std::vector<int>* fds) {
    // Read into a buffer of the largest message (and one byte more, to see a longer one) that
    // is kept, not cleared, between calls; the message is copied out at its own size.
    thread_local std::vector<uint8_t> buffer(kMaxMessage + 1);
    iovec iov{buffer.data(), buffer.size()};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxBuffers)];
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &m, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        message->clear();
        return errno == EAGAIN || errno == EWOULDBLOCK ? Received::Nothing : Received::Closed;
    }
    if (n == 0) {
        message->clear();
        return Received::Closed;
    }
    message->assign(buffer.data(), buffer.data() + size_t(n));
    bool refused = (m.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || size_t(n) > kMaxMessage;
    std::vector<int> got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            got.push_back(fd);
        }
    }
    if (!fds && !got.empty()) refused = true;
    if (refused) {
        for (int fd : got) close(fd);
        message->clear();
        return Received::Refused;
    }
    if (fds) *fds = std::move(got);
    return Received::Message;
}

}  // namespace host::wire
