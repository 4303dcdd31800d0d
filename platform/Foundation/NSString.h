#pragma once
// NSString: an immutable UTF-8 text. Equality and hashing are by bytes. A string made from a
// file name (stringWithStdString) holds the name's bytes as they are, UTF-8 or not.

#include <cstdarg>
#include <string>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

constexpr unsigned long NSUTF8StringEncoding = 4;

class BD_EXPORT NSString : public NSObject {
  public:
    // +stringWithUTF8String: [any-thread] null for a null argument.
    static NSString* stringWithUTF8String(const char* text);
    // +stringWithFormat: [any-thread] printf rules plus %@ = the object's description ("(null)").
    // No printf format attribute: the compiler's checker rejects every %@.
    static NSString* stringWithFormat(const char* fmt, ...);
    // [any-thread] the va_list form used by NSLog.
    static std::string formatV(const char* fmt, va_list args);
    // [any-thread] an autoreleased string holding exactly text.
    static NSString* stringWithStdString(std::string text);

    // -initWithBytes:length:encoding: [any-thread] null (and released) unless valid UTF-8.
    [[nodiscard]] virtual NSString* initWithBytes(const void* bytes, size_t length,
                                                  unsigned long encoding);
    // [any-thread]
    [[nodiscard]] virtual NSString* initWithStdString(std::string text);

    // -UTF8String [any-thread] valid as long as the string lives.
    virtual const char* UTF8String() { return _s.c_str(); }
    // -cStringUsingEncoding: [any-thread] only UTF-8 (4) is supported; null otherwise.
    virtual const char* cStringUsingEncoding(unsigned long encoding);
    // -length [any-thread] the number of UTF-16 code units, as the platform counts.
    virtual size_t length();
    // -lengthOfBytesUsingEncoding: [any-thread] byte count in UTF-8.
    virtual size_t lengthOfBytesUsingEncoding(unsigned long encoding);
    // -hasSuffix: / -hasPrefix: [any-thread]
    virtual bool hasSuffix(NSString* suffix);
    virtual bool hasPrefix(NSString* prefix);
    // -isEqualToString: [any-thread]
    virtual bool isEqualToString(NSString* other);
    // -stringByAppendingPathComponent: [any-thread]
    virtual NSString* stringByAppendingPathComponent(NSString* component);
    // -lastPathComponent [any-thread]
    virtual NSString* lastPathComponent();
    // -pathExtension [any-thread]
    virtual NSString* pathExtension();

    // [any-thread]
    virtual const std::string& str() const { return _s; }

    bool isEqual(NSObject* other) override;
    size_t hash() override;
    NSString* description() override { return this; }

    // Whether bytes are well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
    static bool isValidUTF8(const void* bytes, size_t length);

  private:
    std::string _s;
};

// NSSTR("text"): an autoreleased NSString of a literal.
#define NSSTR(text) (::NSString::stringWithUTF8String(text))

namespace bd {
// [any-thread] The class of o as C++ names it ("AnimateDemoView"); "" for null.
BD_EXPORT std::string className(const NSObject* o);
}  // namespace bd
