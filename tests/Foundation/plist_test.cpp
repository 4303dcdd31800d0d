#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Foundation/NSArray.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSPropertyList.h"
#include "Foundation/NSString.h"
#include "support/files.h"

namespace {

const char* kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
    "1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";

class PlistTest : public ::testing::Test {
  protected:
    NSString* write(const std::string& name, const std::string& bytes) {
        std::string p = dir + "/" + name;
        FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return NSString::stringWithStdString(p);
    }
    static std::string xml(const std::string& body) {
        return std::string(kHead) + body + "\n</plist>\n";
    }
    static NSData* data(const std::string& s) { return NSData::dataWithBytes(s.data(), s.size()); }

    bdtest::TempDir tmp{"plist"};
    std::string dir = tmp.path();
    NSAutoreleasePool pool;
};

// A binary property list from encoded objects; refs are one byte, offsets two bytes.
std::string binaryPlist(const std::vector<std::string>& objects, uint8_t root = 0) {
    std::string out = "bplist00";
    std::vector<size_t> offsets;
    for (auto& o : objects) {
        offsets.push_back(out.size());
        out += o;
    }
    size_t table = out.size();
    for (size_t off : offsets) {
        out += static_cast<char>(off >> 8);
        out += static_cast<char>(off & 0xFF);
    }
    std::string trailer(32, '\0');
    trailer[6] = 2;  // offset size
    trailer[7] = 1;  // ref size
    trailer[15] = static_cast<char>(objects.size());
    trailer[23] = static_cast<char>(root);
    trailer[30] = static_cast<char>(table >> 8);
    trailer[31] = static_cast<char>(table & 0xFF);
    return out + trailer;
}

TEST_F(PlistTest, XmlValuesConvert) {
    NSString* p =
        write("d.plist",
              xml("<dict><key>name Library</key><string>libDemo.so</string>"
                  "<key>neg</key><integer>-5</integer><key>big</key><integer>9000000000</integer>"
                  "<key>pi</key><real>3.5</real><key>on</key><true/>"
                  "<key>blob</key><data>AQID</data>"
                  "<key>list</key><array><string>x</string><integer>2</integer></array>"
                  "<key>sub</key><dict><key>k</key><string>\xC3\xA9</string></dict></dict>"));
    NSDictionary* d = NSDictionary::dictionaryWithContentsOfFile(p);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(as<NSString>(d->objectForKey(NSSTR("name Library")))->str(), "libDemo.so");
    EXPECT_EQ(as<NSNumber>(d->objectForKey(NSSTR("neg")))->longLongValue(), -5);
    EXPECT_EQ(as<NSNumber>(d->objectForKey(NSSTR("big")))->longLongValue(), 9000000000LL);
    EXPECT_DOUBLE_EQ(as<NSNumber>(d->objectForKey(NSSTR("pi")))->doubleValue(), 3.5);
    EXPECT_TRUE(as<NSNumber>(d->objectForKey(NSSTR("on")))->boolValue());
    EXPECT_TRUE(as<NSData>(d->objectForKey(NSSTR("blob")))
                    ->isEqualToData(NSData::dataWithBytes("\x01\x02\x03", 3)));
    NSArray* list = as<NSArray>(d->objectForKey(NSSTR("list")));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count(), 2u);
    EXPECT_EQ(as<NSNumber>(list->lastObject())->intValue(), 2);
    NSDictionary* sub = as<NSDictionary>(d->objectForKey(NSSTR("sub")));
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(as<NSString>(sub->objectForKey(NSSTR("k")))->str(), "\xC3\xA9");
}

TEST_F(PlistTest, UnreadableOrNonDictionaryRootIsNull) {
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(
                  write("a.plist", xml("<array><string>x</string></array>"))),
              nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(write("g.plist", "not a plist at all")),
              nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(
                  write("t.plist", xml("<dict><key>a</key>").substr(0, 200))),
              nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(write("e.plist", "")), nullptr);
    EXPECT_EQ(
        NSDictionary::dictionaryWithContentsOfFile(NSString::stringWithStdString(dir + "/none")),
        nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(NSString::stringWithStdString(dir)),
              nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(nullptr), nullptr);
}

TEST_F(PlistTest, SizeAndDepthCaps) {
    std::string big = xml("<dict><key>a</key><string>" +
                          std::string(NSPropertyList::kMaxFileSize, 'x') + "</string></dict>");
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(write("big.plist", big)), nullptr);

    auto nested = [](int depth) {
        std::string body;
        for (int i = 1; i < depth; ++i) body += "<dict><key>k</key>";
        body += "<dict/>";
        for (int i = 1; i < depth; ++i) body += "</dict>";
        return xml(body);
    };
    EXPECT_NE(NSDictionary::dictionaryWithContentsOfFile(
                  write("ok.plist", nested(NSPropertyList::kMaxDepth))),
              nullptr);
    EXPECT_EQ(NSDictionary::dictionaryWithContentsOfFile(
                  write("deep.plist", nested(NSPropertyList::kMaxDepth + 1))),
              nullptr);
    EXPECT_EQ(NSPropertyList::propertyListWithData(data(nested(100000))), nullptr);
}

TEST_F(PlistTest, BinaryDictionaryAndHostileNesting) {
    // { "a": 1, "s": "hi", "n": -2 }
    std::string d = binaryPlist({std::string("\xD3\x01\x03\x05\x02\x04\x06", 7),
                                 "\x51"
                                 "a",
                                 std::string("\x10\x01", 2),
                                 "\x51"
                                 "s",
                                 "\x52"
                                 "hi",
                                 "\x51"
                                 "n",
                                 std::string("\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFE", 9)});
    NSDictionary* dict = NSDictionary::dictionaryWithContentsOfFile(write("b.plist", d));
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(as<NSNumber>(dict->objectForKey(NSSTR("a")))->intValue(), 1);
    EXPECT_EQ(as<NSString>(dict->objectForKey(NSSTR("s")))->str(), "hi");
    EXPECT_EQ(as<NSNumber>(dict->objectForKey(NSSTR("n")))->longLongValue(), -2);

    // A chain of one-element arrays: object i holds object i+1.
    auto chain = [](int n) {
        std::vector<std::string> objs;
        for (int i = 0; i + 1 < n; ++i)
            objs.push_back(std::string("\xA1") + static_cast<char>(i + 1));
        objs.push_back("\xA0");
        return binaryPlist(objs);
    };
    EXPECT_NE(NSPropertyList::propertyListWithData(data(chain(NSPropertyList::kMaxDepth))),
              nullptr);
    EXPECT_EQ(NSPropertyList::propertyListWithData(data(chain(NSPropertyList::kMaxDepth + 1))),
              nullptr);
    // An array that holds itself.
    EXPECT_EQ(NSPropertyList::propertyListWithData(data(binaryPlist({std::string("\xA1\x00", 2)}))),
              nullptr);
    // Every truncation of the dictionary fails cleanly.
    for (size_t n = 0; n < d.size(); ++n)
        NSPropertyList::propertyListWithData(data(d.substr(0, n)));
}

// The same nesting written every way the parser reads a start tag, and hidden behind comments,
// declarations and instructions that seem to close it: refused, never a crash (libplist frees a
// tree recursively, one stack frame per level).
TEST_F(PlistTest, DeepXmlIsRefusedHoweverItsTagsAreWritten) {
    auto nested = [](const std::string& open, const std::string& close, int depth) {
        std::string body;
        body.reserve((open.size() + close.size()) * size_t(depth));
        for (int i = 0; i < depth; ++i) body += open;
        for (int i = 0; i < depth; ++i) body += close;
        return xml(body);
    };
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {"<array >", "</array>"},
        {"<array\n>", "</array\n>"},
        {"<array a=\"/>\">", "</array>"},
        {"<dict ><key>k</key>", "</dict>"},
        {"<dict x='1'><key>k</key>", "</dict >"},
        {"<array><!-- </array> -->", "</array>"},
        {"<array><?pi </array> ?>", "</array>"},
        {"<array><!DOCTYPE x [ > </array> ]>", "</array>"},
    };
    for (auto& [open, close] : spellings) {
        EXPECT_EQ(NSPropertyList::propertyListWithData(data(nested(open, close, 200000))), nullptr)
            << open;
        // Within the cap the same spelling reads.
        EXPECT_NE(NSPropertyList::propertyListWithData(data(nested(open, close, 3))), nullptr)
            << open;
    }
    // Self-closing elements open nothing: many of them at the deepest level allowed still read.
    std::string leaves;
    for (int i = 0; i < 1000; ++i) leaves += "<array/><dict /><array a='1'/>";
    std::string body;
    for (int i = 1; i < NSPropertyList::kMaxDepth; ++i) body += "<array>";
    body += leaves;
    for (int i = 1; i < NSPropertyList::kMaxDepth; ++i) body += "</array>";
    EXPECT_NE(NSPropertyList::propertyListWithData(data(xml(body))), nullptr);
}

// Objects that refer to the same child twice over: a file of a few hundred bytes that would
// expand into millions of nodes is refused before libplist builds anything; sharing on a sane
// scale still reads.
TEST_F(PlistTest, SharedReferencesAreBoundedByANodeBudget) {
    auto doubling = [](int levels) {  // object i = [i+1, i+1]; the last is an empty array
        std::vector<std::string> objs;
        for (int i = 0; i < levels; ++i)
            objs.push_back(std::string("\xA2") + char(i + 1) + char(i + 1));
        objs.push_back("\xA0");
        return binaryPlist(objs);
    };
    std::string bomb = doubling(22);  // 2^23 - 1 nodes
    EXPECT_LT(bomb.size(), 256u);
    EXPECT_EQ(NSPropertyList::propertyListWithData(data(bomb)), nullptr);
    EXPECT_EQ(NSPropertyList::propertyListWithData(data(doubling(40))), nullptr);
    EXPECT_NE(NSPropertyList::propertyListWithData(data(doubling(3))), nullptr);  // 15 nodes

    // One string shared by an array of 200 references: 201 nodes from a small file.
    std::string many("\xAF\x10\xC8", 3);
    many += std::string(200, '\x01');
    NSArray* list =
        as<NSArray>(NSPropertyList::propertyListWithData(data(binaryPlist({many, "\x52hi"}))));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count(), 200u);
    EXPECT_EQ(as<NSString>(list->objectAtIndex(199))->str(), "hi");
}

}  // namespace
