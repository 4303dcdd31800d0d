#pragma once
// NSData / NSMutableData: a byte buffer.

#include <cstddef>
#include <vector>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class NSString;

class BD_EXPORT NSData : public NSObject {
  public:
    // +data [any-thread]
    static NSData* data();
    // +dataWithBytes:length: [any-thread]
    static NSData* dataWithBytes(const void* bytes, size_t length);
    // +dataWithContentsOfFile: [any-thread] null when the file can't be read or is no regular
    // file (a FIFO or a device is refused without blocking).
    static NSData* dataWithContentsOfFile(NSString* path);

    // -initWithBytes:length: [any-thread]
    [[nodiscard]] virtual NSData* initWithBytes(const void* bytes, size_t length);
    // -bytes [any-thread] null only for an empty object's storage may be non-null; never read past
    // length().
    virtual const void* bytes() const { return _bytes.data(); }
    // -length [any-thread]
    virtual size_t length() const { return _bytes.size(); }
    // -getBytes:length: [any-thread] copies min(length, length()) bytes.
    virtual void getBytes(void* buffer, size_t length);
    // -isEqualToData: [any-thread]
    virtual bool isEqualToData(NSData* other);
    // -writeToFile:atomically: [any-thread] atomically: through a temporary renamed over the
    // file (bd::AtomicFileWriter), so a failed write leaves the old file whole.
    virtual bool writeToFile(NSString* path, bool atomically);

    bool isEqual(NSObject* other) override;
    size_t hash() override;
    NSString* description() override;

  protected:
    std::vector<unsigned char> _bytes;
};

class BD_EXPORT NSMutableData : public NSData {
  public:
    // +dataWithData: [any-thread] (null data gives an empty object)
    static NSMutableData* dataWithData(NSData* data);
    // +dataWithCapacity: [any-thread]
    static NSMutableData* dataWithCapacity(size_t capacity);
    // +dataWithLength: [any-thread] zero-filled.
    static NSMutableData* dataWithLength(size_t length);

    // -appendBytes:length: [any-thread]
    virtual void appendBytes(const void* bytes, size_t length);
    // -appendData: [any-thread]
    virtual void appendData(NSData* other);
    // -mutableBytes [any-thread]
    virtual void* mutableBytes() { return _bytes.data(); }
    // -setLength: [any-thread] new bytes are zero.
    virtual void setLength(size_t length);
};
