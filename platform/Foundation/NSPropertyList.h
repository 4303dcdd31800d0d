#pragma once
// Property-list reading (XML and binary) into Foundation values.
// Strings -> NSString, integers -> NSNumber (signed 64-bit), reals -> NSNumber (double),
// booleans -> NSNumber (bool), data -> NSData, dates -> NSNumber (seconds since 2001),
// arrays -> NSArray, dictionaries -> NSDictionary.

#include <cstddef>

#include "Foundation/NSObject.h"

class NSString;
class NSData;

namespace NSPropertyList {
constexpr size_t kMaxFileSize = 16u << 20;  // bigger files are refused unread
constexpr int kMaxDepth = 64;               // deeper nesting makes the whole read fail

// [any-thread] the autoreleased root object, or null when unreadable / too big / too deep.
NSObject* propertyListWithData(NSData* data);
// [any-thread]
NSObject* propertyListWithContentsOfFile(NSString* path);
}  // namespace NSPropertyList
