#include "Foundation/NSData.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string_view>

#include "Foundation/FileIO.h"
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
    NSData* d = alloc<NSData>();
    d->autorelease();
    // Regular files only: a FIFO or a device must not block the read or stream for ever.
    if (!bd::readRegularFile(path->UTF8String(), d->_bytes)) return nullptr;
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
    if (atomically) return bd::writeFileAtomically(path->str(), _bytes.data(), _bytes.size());
    FILE* f = std::fopen(path->str().c_str(), "wb");
    if (!f) return false;
    bool ok = _bytes.empty() || std::fwrite(_bytes.data(), 1, _bytes.size(), f) == _bytes.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (std::fclose(f) == 0) && ok;
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
