#include "Foundation/NSData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string_view>

#include "Foundation/NSString.h"

NSData* NSData::data() {
    return dataWithBytes(nullptr, 0);
}

NSData* NSData::dataWithBytes(const void* bytes, size_t length) {
    NSData* d = alloc<NSData>()->initWithBytes(bytes, length);
    d->autorelease();
    return d;
}

NSData* NSData::initWithBytes(const void* bytes, size_t length) {
    if (bytes && length) {
        const unsigned char* b = static_cast<const unsigned char*>(bytes);
        _bytes.assign(b, b + length);
    }
    return this;
}

NSData* NSData::dataWithContentsOfFile(NSString* path) {
    if (!path) return nullptr;
    int fd = ::open(path->UTF8String(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    NSData* d = alloc<NSData>();
    d->autorelease();
    if (S_ISREG(st.st_mode) && st.st_size > 0) d->_bytes.reserve(static_cast<size_t>(st.st_size));
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return nullptr;
        }
        if (n == 0) break;
        d->_bytes.insert(d->_bytes.end(), buf, buf + n);
    }
    ::close(fd);
    return d;
}

void NSData::getBytes(void* buffer, size_t length) {
    size_t n = length < _bytes.size() ? length : _bytes.size();
    if (buffer && n) std::memcpy(buffer, _bytes.data(), n);
}

bool NSData::isEqualToData(NSData* other) {
    return other && other->length() == length() &&
           (length() == 0 || std::memcmp(other->bytes(), bytes(), length()) == 0);
}

bool NSData::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* d = dynamic_cast<NSData*>(other);
    return d && isEqualToData(d);
}

size_t NSData::hash() {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(_bytes.data()), _bytes.size()));
}

NSString* NSData::description() {
    std::string s = "<";
    static const char* hex = "0123456789abcdef";
    for (size_t i = 0; i < _bytes.size(); ++i) {
        if (i && i % 4 == 0) s += ' ';
        s += hex[_bytes[i] >> 4];
        s += hex[_bytes[i] & 15];
    }
    s += '>';
    return NSString::stringWithStdString(std::move(s));
}

bool NSData::writeToFile(NSString* path, bool atomically) {
    if (!path) return false;
    std::string target = path->str();
    std::string file = atomically ? target + ".tmp" + std::to_string(getpid()) : target;
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return false;
    bool ok = _bytes.empty() || std::fwrite(_bytes.data(), 1, _bytes.size(), f) == _bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    if (atomically) ok = (fsync(fileno(f)) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
    if (atomically) {
        if (ok) ok = std::rename(file.c_str(), target.c_str()) == 0;
        if (!ok) std::remove(file.c_str());
    }
    return ok;
}

NSMutableData* NSMutableData::dataWithData(NSData* data) {
    NSMutableData* d = alloc<NSMutableData>();
    if (data) d->initWithBytes(data->bytes(), data->length());
    d->autorelease();
    return d;
}

NSMutableData* NSMutableData::dataWithCapacity(size_t capacity) {
    NSMutableData* d = alloc<NSMutableData>();
    d->_bytes.reserve(capacity);
    d->autorelease();
    return d;
}

NSMutableData* NSMutableData::dataWithLength(size_t length) {
    NSMutableData* d = alloc<NSMutableData>();
    d->_bytes.resize(length);
    d->autorelease();
    return d;
}

void NSMutableData::appendBytes(const void* bytes, size_t length) {
    if (!bytes || !length) return;
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    _bytes.insert(_bytes.end(), b, b + length);
}

void NSMutableData::appendData(NSData* other) {
    if (other) appendBytes(other->bytes(), other->length());
}

void NSMutableData::setLength(size_t length) {
    _bytes.resize(length);
}
