// Binary property lists whose strings or keys hold a zero character are refused (libplist would
// abort on them); the same file without the zero character reads normally.
#include <gtest/gtest.h>

#include <vector>

#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSObject.h"
#include "Foundation/NSPropertyList.h"
#include "Foundation/NSString.h"

namespace {
// bplist00 holding a one-entry dictionary {key: value}, key and value given as encoded objects.
NSData* oneEntry(std::vector<unsigned char> key, std::vector<unsigned char> value) {
    std::vector<unsigned char> b = {'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xD1, 0x01, 0x02};
    unsigned char keyOff = static_cast<unsigned char>(b.size());
    b.insert(b.end(), key.begin(), key.end());
    unsigned char valueOff = static_cast<unsigned char>(b.size());
    b.insert(b.end(), value.begin(), value.end());
    unsigned char table = static_cast<unsigned char>(b.size());
    b.insert(b.end(), {8, keyOff, valueOff});
    std::vector<unsigned char> trailer(32, 0);
    trailer[6] = 1;   // offset size
    trailer[7] = 1;   // reference size
    trailer[15] = 3;  // objects
    trailer[31] = table;
    b.insert(b.end(), trailer.begin(), trailer.end());
    return NSData::dataWithBytes(b.data(), b.size());
}
}  // namespace

TEST(PropertyListZeroChar, RefusedInValuesAndKeys) {
    NSAutoreleasePool pool;
    NSObject* ok =
        NSPropertyList::propertyListWithData(oneEntry({0x51, 'k'}, {0x53, 'a', 'x', 'b'}));
    ASSERT_NE(ok, nullptr);
    NSObject* v = static_cast<NSDictionary*>(ok)->objectForKey(NSSTR("k"));
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->isEqual(NSSTR("axb")));

    EXPECT_EQ(NSPropertyList::propertyListWithData(oneEntry({0x51, 'k'}, {0x53, 'a', 0, 'b'})),
              nullptr);
    EXPECT_EQ(NSPropertyList::propertyListWithData(oneEntry({0x53, 'k', 0, 'b'}, {0x51, 'v'})),
              nullptr);
    EXPECT_EQ(NSPropertyList::propertyListWithData(oneEntry({0x51, 'k'}, {0x62, 0, 'a', 0, 0})),
              nullptr);
    // A string whose length runs past the object area.
    EXPECT_EQ(NSPropertyList::propertyListWithData(oneEntry({0x51, 'k'}, {0x5E, 'a'})), nullptr);
}
