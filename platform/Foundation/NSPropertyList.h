#pragma once
// Property-list reading (XML and binary) into Foundation values.
// Strings -> NSString, integers -> NSNumber (signed 64-bit), reals -> NSNumber (double),
// booleans -> NSNumber (bool), data -> NSData, dates -> NSNumber (seconds since 2001),
// arrays -> NSArray, dictionaries -> NSDictionary.

#include <cstddef>
#include <cstdint>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class NSString;
class NSData;

namespace NSPropertyList {
constexpr size_t kMaxFileSize = 16u << 20;  // bigger files are refused unread
constexpr int kMaxDepth = 64;               // deeper nesting makes the whole read fail
constexpr uint64_t kMaxNodes = 1u << 20;    // a binary list that expands past this is refused

// [any-thread] the autoreleased root object, or null when unreadable / too big / too deep; a
// binary list is also null when its shared references would expand it past min(kMaxNodes,
// 8 nodes per byte of the file).
BD_EXPORT NSObject* propertyListWithData(NSData* data);
// [any-thread] the same for a regular file (anything else is unreadable, without blocking).
BD_EXPORT NSObject* propertyListWithContentsOfFile(NSString* path);
}  // namespace NSPropertyList
