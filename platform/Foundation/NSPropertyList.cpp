#include "Foundation/NSPropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "Foundation/FileIO.h"
#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"

namespace {

using Bytes = std::string_view;

// XML: the deepest nesting of <array> and <dict> elements, counted on the text the way the
// parser reads it: a start tag of either element opens one level whatever follows its name
// (spaces, a line break, attributes), a self-closing one opens nothing, and comments, CDATA
// sections, processing instructions and declarations are skipped whole. Quoted attribute values
// may hold '>' and '/'. Returns kMaxDepth + 1 as soon as the limit is passed. A text the scan
// misreads can still not hurt: the tree the parser builds is measured again (freeTree).
int xmlDepth(Bytes s) {
    auto isNameChar = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.' || c == ':' || c >= 0x80;
    };
    // The '>' that ends the tag starting at i, outside quotes; npos when there is none.
    auto tagEnd = [&](size_t i) {
        char quote = 0;
        for (size_t j = i; j < s.size(); ++j) {
            char c = s[j];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                return j;
            }
        }
        return Bytes::npos;
    };
    // The '>' that ends a declaration such as <!DOCTYPE ...>, outside quotes and outside an
    // internal subset in brackets.
    auto declarationEnd = [&](size_t i) {
        char quote = 0;
        int brackets = 0;
        for (size_t j = i; j < s.size(); ++j) {
            char c = s[j];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                if (brackets > 0) --brackets;
            } else if (c == '>' && brackets == 0) {
                return j;
            }
        }
        return Bytes::npos;
    };
    int depth = 0, deepest = 0;
    size_t i = 0;
    while ((i = s.find('<', i)) != Bytes::npos) {
        Bytes rest = s.substr(i);
        size_t end;
        if (rest.rfind("<!--", 0) == 0) {
            end = s.find("-->", i + 4);
            if (end != Bytes::npos) end += 2;
        } else if (rest.rfind("<![CDATA[", 0) == 0) {
            end = s.find("]]>", i + 9);
            if (end != Bytes::npos) end += 2;
        } else if (rest.rfind("<?", 0) == 0) {
            end = s.find("?>", i + 1);  // "<?>" is a whole instruction to the parser
            if (end != Bytes::npos) end += 1;
        } else if (rest.rfind("<!", 0) == 0) {
            end = declarationEnd(i);
        } else {
            end = tagEnd(i);
            bool close = rest.size() > 1 && rest[1] == '/';
            size_t n = close ? 2 : 1;
            size_t nameEnd = n;
            while (nameEnd < rest.size() && isNameChar(static_cast<unsigned char>(rest[nameEnd])))
                ++nameEnd;
            Bytes name = rest.substr(n, nameEnd - n);
            if (name == "array" || name == "dict") {
                bool selfClosing = end != Bytes::npos && end > i && s[end - 1] == '/';
                if (close) {
                    if (depth > 0) --depth;
                } else if (!selfClosing) {
                    if (++depth > deepest) deepest = depth;
                    if (deepest > NSPropertyList::kMaxDepth) return deepest;
                }
            }
        }
        if (end == Bytes::npos) break;  // an unfinished tag: the parser refuses the text
        i = end + 1;
    }
    return deepest;
}

// Binary: the object graph walked without recursion over the offset table before libplist
// sees it, so a hostile file can't drive libplist's recursive reader deep or make it build a
// tree far bigger than the file. False when the nesting passes the limit, an object refers to
// itself through its children, the tree would hold more than nodeBudget nodes, or the
// structure doesn't hold together.
bool binaryShapeOk(Bytes s, uint64_t nodeBudget) {
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

    // 0 = unseen, 1 = on the walk's stack, 2 = done. nodes[i] is the number of nodes object i
    // becomes in the parsed tree: the parser copies an object for every reference to it, so
    // objects that refer to one another twice over grow the tree exponentially.
    std::vector<unsigned char> state(numObjects, 0);
    std::vector<uint32_t> nodes(numObjects, 0);
    struct Frame {
        uint64_t idx, first, count, next, nodes;
    };
    std::vector<Frame> stack;
    auto enter = [&](uint64_t idx, uint64_t& size) -> int {  // 1 pushed, 0 size known, -1 bad
        if (state[idx] == 2) {
            size = nodes[idx];
            return 0;
        }
        if (state[idx] == 1) return -1;
        uint64_t off, first, count;
        if (!objectAt(idx, off)) return -1;
        if (!children(off, first, count)) {
            if (stringHasNul(off)) return -1;
            state[idx] = 2;
            size = nodes[idx] = 1;
            return 0;
        }
        if (stack.size() >= static_cast<size_t>(NSPropertyList::kMaxDepth)) return -1;
        state[idx] = 1;
        stack.push_back({idx, first, count, 0, 1});
        return 1;
    };
    uint64_t size = 0;
    int entered = enter(root, size);
    if (entered < 0) return false;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.count) {
            state[f.idx] = 2;
            nodes[f.idx] = static_cast<uint32_t>(f.nodes);
            size = f.nodes;
            stack.pop_back();
            if (!stack.empty() && (stack.back().nodes += size) > nodeBudget) return false;
            continue;
        }
        uint64_t child = be(b + f.first + f.next * refSize, refSize);
        ++f.next;
        if (child >= numObjects) return false;
        int r = enter(child, size);
        if (r < 0) return false;
        if (r == 0 && (f.nodes += size) > nodeBudget) return false;
    }
    return size <= nodeBudget;
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

// Whether a node holds children.
bool hasChildren(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_ARRAY:
            return plist_array_get_size(node) > 0;
        case PLIST_DICT:
            return plist_dict_get_size(node) > 0;
        default:
            return false;
    }
}

// Frees a tree without recursion. libplist's own free recurses once per level, so a tree
// deeper than the scan before parsing saw would overflow the stack: its leaves are taken off
// one at a time, deepest first, and each container goes once it is empty.
void freeTree(plist_t root) {
    std::vector<plist_t> path{root};
    while (!path.empty()) {
        plist_t node = path.back();
        if (plist_get_node_type(node) == PLIST_ARRAY && plist_array_get_size(node) > 0) {
            uint32_t last = plist_array_get_size(node) - 1;
            plist_t child = plist_array_get_item(node, last);
            if (child && hasChildren(child))
                path.push_back(child);
            else
                plist_array_remove_item(node, last);
            continue;
        }
        if (plist_get_node_type(node) == PLIST_DICT && plist_dict_get_size(node) > 0) {
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            char* key = nullptr;
            plist_t child = nullptr;
            if (it) plist_dict_next_item(node, it, &key, &child);
            std::free(it);
            if (child && hasChildren(child)) {
                std::free(key);
                path.push_back(child);
                continue;
            }
            uint32_t before = plist_dict_get_size(node);
            if (key) plist_dict_remove_item(node, key);
            std::free(key);
            // A key the dictionary can't find again: leave the rest rather than loop for ever.
            if (plist_dict_get_size(node) == before) return;
            continue;
        }
        path.pop_back();
        if (path.empty()) plist_free(node);  // the root, empty by now
    }
}

}  // namespace

namespace NSPropertyList {

NSObject* propertyListWithData(NSData* data) {
    if (!data || data->length() == 0 || data->length() > kMaxFileSize) return nullptr;
    Bytes bytes(static_cast<const char*>(data->bytes()), data->length());
    bool binary = bytes.size() >= 8 && bytes.substr(0, 6) == "bplist";
    if (binary) {
        // A binary list may grow into at most 8 nodes per byte of file, and never past
        // kMaxNodes: without shared references it holds at most one node per byte.
        uint64_t budget = std::min<uint64_t>(kMaxNodes, uint64_t(bytes.size()) * 8);
        if (!binaryShapeOk(bytes, budget)) return nullptr;
    } else if (xmlDepth(bytes) > kMaxDepth) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return nullptr;
    // A tree that converts was walked to its end within kMaxDepth levels, so libplist's
    // recursive free is safe on it; any other may be arbitrarily deep.
    NSObject* result = convert(root, 1);
    if (result)
        plist_free(root);
    else
        freeTree(root);
    return result;
}

NSObject* propertyListWithContentsOfFile(NSString* path) {
    if (!path) return nullptr;
    // A regular file only, refused unread when oversized.
    std::vector<uint8_t> bytes;
    if (!bd::readRegularFile(path->UTF8String(), bytes, kMaxFileSize)) return nullptr;
    return propertyListWithData(NSData::dataWithBytes(bytes.data(), bytes.size()));
}

}  // namespace NSPropertyList
