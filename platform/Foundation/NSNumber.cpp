#include "Foundation/NSNumber.h"

#include <cmath>
#include <cstdio>
#include <functional>

#include "Foundation/NSString.h"

namespace {
NSNumber* make(NSNumber* n) {
    n->autorelease();
    return n;
}
}  // namespace

// The value is kept in its own kind; the other accessors convert like C casts.
#define BD_NUMBER_CTOR(name, T, kindValue, field) \
    NSNumber* NSNumber::name(T v) {               \
        NSNumber* n = alloc<NSNumber>();          \
        n->_kind = Kind::kindValue;               \
        n->field = v;                             \
        return make(n);                           \
    }
BD_NUMBER_CTOR(numberWithFloat, float, Real, _d)
BD_NUMBER_CTOR(numberWithDouble, double, Real, _d)
BD_NUMBER_CTOR(numberWithInt, int, Integer, _i)
BD_NUMBER_CTOR(numberWithUnsignedInt, unsigned, Unsigned, _u)
BD_NUMBER_CTOR(numberWithLongLong, long long, Integer, _i)
BD_NUMBER_CTOR(numberWithUnsignedLongLong, unsigned long long, Unsigned, _u)
#undef BD_NUMBER_CTOR

NSNumber* NSNumber::numberWithBool(bool v) {
    NSNumber* n = alloc<NSNumber>();
    n->_kind = Kind::Boolean;
    n->_i = v ? 1 : 0;
    return make(n);
}

double NSNumber::doubleValue() const {
    switch (_kind) {
        case Kind::Real:
            return _d;
        case Kind::Unsigned:
            return static_cast<double>(_u);
        default:
            return static_cast<double>(_i);
    }
}

float NSNumber::floatValue() const {
    return static_cast<float>(doubleValue());
}

long long NSNumber::longLongValue() const {
    switch (_kind) {
        case Kind::Real:
            if (!std::isfinite(_d)) return 0;
            if (_d >= 9.2233720368547758e18) return INT64_MAX;
            if (_d <= -9.2233720368547758e18) return INT64_MIN;
            return static_cast<long long>(_d);
        case Kind::Unsigned:
            return static_cast<long long>(_u);
        default:
            return _i;
    }
}

int NSNumber::intValue() const {
    return static_cast<int>(longLongValue());
}
unsigned NSNumber::unsignedIntValue() const {
    return static_cast<unsigned>(longLongValue());
}

bool NSNumber::boolValue() const {
    switch (_kind) {
        case Kind::Real:
            return _d != 0.0;
        case Kind::Unsigned:
            return _u != 0;
        default:
            return _i != 0;
    }
}

bool NSNumber::isEqual(NSObject* other) {
    if (other == this) return true;
    auto* n = dynamic_cast<NSNumber*>(other);
    if (!n) return false;
    if (_kind == Kind::Real || n->_kind == Kind::Real) return doubleValue() == n->doubleValue();
    if (_kind == Kind::Unsigned && n->_kind == Kind::Unsigned) return _u == n->_u;
    if (_kind == Kind::Unsigned) return n->_i >= 0 && static_cast<uint64_t>(n->_i) == _u;
    if (n->_kind == Kind::Unsigned) return _i >= 0 && static_cast<uint64_t>(_i) == n->_u;
    return _i == n->_i;
}

size_t NSNumber::hash() {
    double d = doubleValue();
    if (_kind != Kind::Real || d == std::floor(d)) return std::hash<long long>{}(longLongValue());
    return std::hash<double>{}(d);
}

NSString* NSNumber::description() {
    char buf[64];
    switch (_kind) {
        case Kind::Real:
            std::snprintf(buf, sizeof buf, "%.17g", _d);
            break;
        case Kind::Unsigned:
            std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(_u));
            break;
        default:
            std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(_i));
            break;
    }
    return NSString::stringWithUTF8String(buf);
}
