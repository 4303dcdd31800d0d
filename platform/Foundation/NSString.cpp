#include "Foundation/NSString.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <typeinfo>

std::string bd::className(const NSObject* o) {
    if (!o) return "";
    const char* mangled = typeid(*o).name();
    int status = 0;
    char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = status == 0 && plain ? plain : mangled;
    std::free(plain);
    return name;
}

// -description of every object: "<ClassName: 0xaddress>".
NSString* NSObject::description() {
    char buf[64];
    std::snprintf(buf, sizeof buf, ": %p>", static_cast<void*>(this));
    return NSString::stringWithStdString("<" + bd::className(this) + buf);
}

NSString* NSString::stringWithUTF8String(const char* text) {
    if (!text) return nullptr;
    return stringWithStdString(std::string(text));
}

NSString* NSString::stringWithStdString(std::string text) {
    NSString* s = alloc<NSString>()->initWithStdString(std::move(text));
    s->autorelease();
    return s;
}

NSString* NSString::initWithStdString(std::string text) {
    _s = std::move(text);
    return this;
}

namespace {

// Formats one printf conversion (fmtPart holds "%...c") with the argument taken by fetch.
template <class T>
void appendOne(std::string& out, const std::string& fmtPart, T value) {
    char small[128];
    int n = std::snprintf(small, sizeof small, fmtPart.c_str(), value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), fmtPart.c_str(), value);
    out.append(big.data(), static_cast<size_t>(n));
}

}  // namespace

std::string NSString::formatV(const char* fmt, va_list args) {
    std::string out;
    if (!fmt) return out;
    va_list ap;
    va_copy(ap, args);
    const char* p = fmt;
    while (*p) {
        if (*p != '%') {
            const char* q = p;
            while (*q && *q != '%') ++q;
            out.append(p, static_cast<size_t>(q - p));
            p = q;
            continue;
        }
        // A conversion: % flags width .precision length conversion
        std::string fmtPart = "%";
        ++p;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        while (*p && std::strchr("-+ #0'", *p)) fmtPart += *p++;
        if (*p == '*') {
            fmtPart += std::to_string(va_arg(ap, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') fmtPart += *p++;
        }
        if (*p == '.') {
            fmtPart += *p++;
            if (*p == '*') {
                fmtPart += std::to_string(va_arg(ap, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') fmtPart += *p++;
            }
        }
        std::string len;
        while (*p && std::strchr("hlLqjzt", *p)) len += *p++;
        char conv = *p;
        if (!conv) break;
        ++p;
        if (conv == '@') {
            NSObject* o = va_arg(ap, NSObject*);
            NSString* d = o ? o->description() : nullptr;
            std::string text = d ? d->str() : std::string("(null)");
            appendOne(out, fmtPart + "s", text.c_str());
            continue;
        }
        std::string full = fmtPart + len + conv;
        switch (conv) {
            case 'd':
            case 'i':
                if (len == "ll" || len == "q" || len == "j")
                    appendOne(out, fmtPart + "lld", va_arg(ap, long long));
                else if (len == "l" || len == "z" || len == "t")
                    appendOne(out, fmtPart + "ld", va_arg(ap, long));
                else
                    appendOne(out, fmtPart + conv, va_arg(ap, int));
                break;
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                if (len == "ll" || len == "q" || len == "j")
                    appendOne(out, fmtPart + "ll" + conv, va_arg(ap, unsigned long long));
                else if (len == "l" || len == "z" || len == "t")
                    appendOne(out, fmtPart + "l" + conv, va_arg(ap, unsigned long));
                else
                    appendOne(out, fmtPart + conv, va_arg(ap, unsigned));
                break;
            case 'c':
                appendOne(out, fmtPart + "c", va_arg(ap, int));
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                if (len == "L")
                    appendOne(out, fmtPart + "L" + conv, va_arg(ap, long double));
                else
                    appendOne(out, fmtPart + conv, va_arg(ap, double));
                break;
            case 's': {
                const char* s = va_arg(ap, const char*);
                appendOne(out, fmtPart + "s", s ? s : "(null)");
                break;
            }
            case 'p':
                appendOne(out, fmtPart + "p", va_arg(ap, void*));
                break;
            default:
                // Unknown conversion: copy it through and consume nothing.
                out += full;
                break;
        }
    }
    va_end(ap);
    return out;
}

NSString* NSString::stringWithFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = formatV(fmt, ap);
    va_end(ap);
    return stringWithStdString(std::move(s));
}

bool NSString::isValidUTF8(const void* bytes, size_t length) {
    const unsigned char* s = static_cast<const unsigned char*>(bytes);
    if (!s && length) return false;
    size_t i = 0;
    while (i < length) {
        unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t n;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else
            return false;
        if (length - i <= n) return false;
        for (size_t k = 1; k <= n; ++k) {
            unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
        if (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
        i += n + 1;
    }
    return true;
}

NSString* NSString::initWithBytes(const void* bytes, size_t length, unsigned long encoding) {
    if (encoding != NSUTF8StringEncoding || !isValidUTF8(bytes, length)) {
        release();
        return nullptr;
    }
    _s.assign(static_cast<const char*>(bytes), length);
    return this;
}

const char* NSString::cStringUsingEncoding(unsigned long encoding) {
    return encoding == NSUTF8StringEncoding ? _s.c_str() : nullptr;
}

size_t NSString::length() {
    size_t units = 0;
    for (unsigned char c : _s) {
        if ((c & 0xC0) == 0x80) continue;
        units += (c >= 0xF0) ? 2 : 1;
    }
    return units;
}

size_t NSString::lengthOfBytesUsingEncoding(unsigned long encoding) {
    return encoding == NSUTF8StringEncoding ? _s.size() : 0;
}

bool NSString::hasSuffix(NSString* suffix) {
    if (!suffix) return false;
    const std::string& t = suffix->str();
    return t.size() <= _s.size() && _s.compare(_s.size() - t.size(), t.size(), t) == 0;
}

bool NSString::hasPrefix(NSString* prefix) {
    if (!prefix) return false;
    const std::string& t = prefix->str();
    return t.size() <= _s.size() && _s.compare(0, t.size(), t) == 0;
}

bool NSString::isEqualToString(NSString* other) {
    return other && other->str() == _s;
}

bool NSString::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* s = dynamic_cast<NSString*>(other);
    return s && s->str() == _s;
}

size_t NSString::hash() {
    return std::hash<std::string>{}(_s);
}

NSString* NSString::stringByAppendingPathComponent(NSString* component) {
    std::string out = _s;
    std::string c = component ? component->str() : std::string();
    while (!c.empty() && c.front() == '/') c.erase(0, 1);
    if (!out.empty() && out.back() != '/' && !c.empty()) out += '/';
    out += c;
    return stringWithStdString(std::move(out));
}

NSString* NSString::lastPathComponent() {
    std::string s = _s;
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    size_t slash = s.rfind('/');
    if (slash != std::string::npos && s.size() > 1) s = s.substr(slash + 1);
    return stringWithStdString(std::move(s));
}

NSString* NSString::pathExtension() {
    std::string last = lastPathComponent()->str();
    size_t dot = last.rfind('.');
    return stringWithStdString(dot == std::string::npos || dot == 0 ? std::string()
                                                                    : last.substr(dot + 1));
}
