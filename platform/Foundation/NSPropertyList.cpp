#include "Foundation/NSPropertyList.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"

namespace {

using Bytes = std::string_view;

// XML: the deepest nesting of <array>/<dict> elements, counted on the text before parsing.
// Returns kMaxDepth + 1 as soon as the limit is passed.
int xmlDepth(Bytes s) {
    int depth = 0, deepest = 0;
    for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] != '<') continue;
        Bytes rest = s.substr(i + 1);
        bool close = !rest.empty() && rest[0] == '/';
        Bytes name = close ? rest.substr(1) : rest;
        size_t len = name.rfind("array", 0) == 0 ? 5 : name.rfind("dict", 0) == 0 ? 4 : 0;
        if (!len || name.size() <= len) continue;
        char after = name[len];
        if (close) {
            if (after == '>' && depth > 0) --depth;
        } else if (after == '>') {
            if (++depth > deepest) deepest = depth;
            if (deepest > NSPropertyList::kMaxDepth) return deepest;
        }
    }
    return deepest;
}

// Binary: the longest chain of nested containers, walked without recursion over the object
// table, so a hostile file can't drive libplist's recursive reader deep. False when the
// nesting passes the limit, refers in a cycle, or the structure doesn't hold together.
bool binaryDepthOk(Bytes s) {
    if (s.size() < 8 + 32) return false;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    const unsigned char* t = b + n - 32;
    unsigned offSize = t[6], refSize = t[7];
    auto be = [](const unsigned char* p, unsigned k) {
        uint64_t v = 0;
        for (unsigned i = 0; i < k; ++i) v = (v << 8) | p[i];
        return v;
    };
    uint64_t numObjects = be(t + 8, 8), root = be(t + 16, 8), tableOff = be(t + 24, 8);
    if (offSize < 1 || offSize > 8 || refSize < 1 || refSize > 8) return false;
    if (numObjects == 0 || root >= numObjects || tableOff >= n - 32) return false;
    if (numObjects > (n - 32 - tableOff) / offSize) return false;

    auto objectAt = [&](uint64_t idx, uint64_t& off) {
        off = be(b + tableOff + idx * offSize, offSize);
        return off < tableOff;
    };
    // Container children: (first ref position, number of refs); false for a scalar.
    auto children = [&](uint64_t off, uint64_t& first, uint64_t& count) {
        unsigned char m = b[off];
        unsigned kind = m >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return false;
        uint64_t c = m & 0x0F;
        uint64_t p = off + 1;
        if (c == 0x0F) {
            if (p >= tableOff || (b[p] >> 4) != 0x1) return false;
            unsigned k = 1u << (b[p] & 0x0F);
            if (k > 8 || p + 1 + k > tableOff) return false;
            c = be(b + p + 1, k);
            p += 1 + k;
        }
        uint64_t refs = kind == 0xD ? c * 2 : c;
        if (c > tableOff || refs > (tableOff - p) / refSize) return false;
        first = p;
        count = refs;
        return true;
    };

    // libplist aborts on a string or key holding a zero character, so such a file is refused
    // here: true for an ASCII (0x5) or UTF-16 (0x6) string with a zero unit, or one whose
    // length runs past the object area.
    auto stringHasNul = [&](uint64_t off) {
        unsigned char m = b[off];
        unsigned kind = m >> 4;
        if (kind != 0x5 && kind != 0x6) return false;
        uint64_t c = m & 0x0F;
        uint64_t p = off + 1;
        if (c == 0x0F) {
            if (p >= tableOff || (b[p] >> 4) != 0x1) return true;
            unsigned k = 1u << (b[p] & 0x0F);
            if (k > 8 || p + 1 + k > tableOff) return true;
            c = be(b + p + 1, k);
            p += 1 + k;
        }
        unsigned unit = kind == 0x6 ? 2 : 1;
        if (c > (tableOff - p) / unit) return true;
        for (uint64_t i = 0; i < c; ++i) {
            const unsigned char* u = b + p + i * unit;
            if (u[0] == 0 && (unit == 1 || u[1] == 0)) return true;
        }
        return false;
    };

    // 0 = unseen, 1 = on the walk's stack, 2 = done; height of finished containers.
    std::vector<unsigned char> state(numObjects, 0);
    struct Frame {
        uint64_t idx, first, count, next;
    };
    std::vector<Frame> stack;
    auto enter = [&](uint64_t idx) -> int {  // 1 pushed, 0 nothing to do, -1 bad
        if (state[idx] == 2) return 0;
        if (state[idx] == 1) return -1;
        uint64_t off, first, count;
        if (!objectAt(idx, off)) return -1;
        if (!children(off, first, count)) {
            if (stringHasNul(off)) return -1;
            state[idx] = 2;
            return 0;
        }
        if (stack.size() >= static_cast<size_t>(NSPropertyList::kMaxDepth)) return -1;
        state[idx] = 1;
        stack.push_back({idx, first, count, 0});
        return 1;
    };
    if (enter(root) < 0) return false;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.count) {
            state[f.idx] = 2;
            stack.pop_back();
            continue;
        }
        uint64_t child = be(b + f.first + f.next * refSize, refSize);
        ++f.next;
        if (child >= numObjects) return false;
        if (enter(child) < 0) return false;
    }
    return true;
}

NSObject* convert(plist_t node, int depth) {
    if (!node || depth > NSPropertyList::kMaxDepth) return nullptr;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t v = 0;
            plist_get_bool_val(node, &v);
            return NSNumber::numberWithBool(v != 0);
        }
        case PLIST_UINT: {
            // libplist 2.2 keeps every integer as 64 unsigned bits; negative values come back
            // as their two's complement, so read them as signed.
            uint64_t v = 0;
            plist_get_uint_val(node, &v);
            return NSNumber::numberWithLongLong(static_cast<long long>(v));
        }
        case PLIST_REAL: {
            double v = 0;
            plist_get_real_val(node, &v);
            return NSNumber::numberWithDouble(v);
        }
        case PLIST_STRING: {
            // The pointer form: plist_get_string_val aborts on a zero character inside.
            uint64_t len = 0;
            const char* v = plist_get_string_ptr(node, &len);
            if (!v) return NSString::stringWithUTF8String("");
            if (std::strlen(v) != len || !NSString::isValidUTF8(v, len)) return nullptr;
            return NSString::stringWithUTF8String(v);
        }
        case PLIST_DATA: {
            char* v = nullptr;
            uint64_t len = 0;
            plist_get_data_val(node, &v, &len);
            NSData* d = NSData::dataWithBytes(v, v ? static_cast<size_t>(len) : 0);
            std::free(v);
            return d;
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return NSNumber::numberWithDouble(sec + usec / 1e6);
        }
        case PLIST_UID: {
            uint64_t v = 0;
            plist_get_uid_val(node, &v);
            return NSNumber::numberWithUnsignedLongLong(v);
        }
        case PLIST_ARRAY: {
            uint32_t n = plist_array_get_size(node);
            NSMutableArray* a = NSMutableArray::arrayWithCapacity(n);
            for (uint32_t i = 0; i < n; ++i) {
                NSObject* o = convert(plist_array_get_item(node, i), depth + 1);
                if (!o) return nullptr;
                a->addObject(o);
            }
            return a;
        }
        case PLIST_DICT: {
            NSMutableDictionary* d = NSMutableDictionary::dictionary();
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return d;
            NSObject* result = d;
            for (;;) {
                char* key = nullptr;
                plist_t val = nullptr;
                plist_dict_next_item(node, it, &key, &val);
                if (!val) {
                    std::free(key);
                    break;
                }
                NSObject* o = convert(val, depth + 1);
                NSString* k = key && NSString::isValidUTF8(key, std::strlen(key))
                                  ? NSString::stringWithUTF8String(key)
                                  : nullptr;
                std::free(key);
                if (!o || !k) {
                    result = nullptr;
                    break;
                }
                d->setObject(o, k);
            }
            std::free(it);
            return result;
        }
        default:
            return nullptr;
    }
}

}  // namespace

namespace NSPropertyList {

NSObject* propertyListWithData(NSData* data) {
    if (!data || data->length() == 0 || data->length() > kMaxFileSize) return nullptr;
    Bytes bytes(static_cast<const char*>(data->bytes()), data->length());
    bool binary = bytes.size() >= 8 && bytes.substr(0, 6) == "bplist";
    if (binary ? !binaryDepthOk(bytes) : xmlDepth(bytes) > kMaxDepth) return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return nullptr;
    NSObject* result = convert(root, 1);
    plist_free(root);
    return result;
}

NSObject* propertyListWithContentsOfFile(NSString* path) {
    if (!path) return nullptr;
    struct stat st;  // refuse an oversized file before reading any of it
    if (stat(path->UTF8String(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > kMaxFileSize)
        return nullptr;
    NSData* data = NSData::dataWithContentsOfFile(path);
    return propertyListWithData(data);
}

}  // namespace NSPropertyList
