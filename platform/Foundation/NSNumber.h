#pragma once
// NSNumber: a boxed integer, real or boolean.

#include <cstdint>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class BD_EXPORT NSNumber : public NSObject {
  public:
    enum class Kind { Integer, Unsigned, Real, Boolean };

    // [any-thread]
    static NSNumber* numberWithFloat(float v);
    static NSNumber* numberWithDouble(double v);
    static NSNumber* numberWithInt(int v);
    static NSNumber* numberWithUnsignedInt(unsigned v);
    static NSNumber* numberWithLongLong(long long v);
    static NSNumber* numberWithUnsignedLongLong(unsigned long long v);
    static NSNumber* numberWithBool(bool v);

    // [any-thread]
    virtual float floatValue() const;
    virtual double doubleValue() const;
    virtual int intValue() const;
    virtual unsigned unsignedIntValue() const;
    virtual long long longLongValue() const;
    virtual bool boolValue() const;
    virtual Kind kind() const { return _kind; }

    bool isEqual(NSObject* other) override;
    size_t hash() override;
    NSString* description() override;

  private:
    Kind _kind = Kind::Integer;
    int64_t _i = 0;
    uint64_t _u = 0;
    double _d = 0;
};
