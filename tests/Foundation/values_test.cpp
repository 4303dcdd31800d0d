#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Foundation/NSArray.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSError.h"
#include "Foundation/NSFileManager.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSNumber.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"
#include "support/files.h"

namespace {

TEST(NSStringTest, FormatHandlesPrintfAndObjects) {
    NSAutoreleasePool pool;
    EXPECT_EQ(
        NSString::stringWithFormat("%d-%05.2f-%s-%x-%lld-%%", -3, 3.14159, "ab", 255, 1LL << 40)
            ->str(),
        "-3-03.14-ab-ff-1099511627776-%");
    EXPECT_EQ(NSString::stringWithFormat("%@/%@", NSSTR("dir"), NSSTR("bg.jpg"))->str(),
              "dir/bg.jpg");
    EXPECT_EQ(NSString::stringWithFormat("key = %@", static_cast<NSObject*>(nullptr))->str(),
              "key = (null)");
    EXPECT_EQ(NSString::stringWithFormat("%@", NSNumber::numberWithInt(42))->str(), "42");
    EXPECT_EQ(NSString::stringWithFormat("%*d|%-3s|", 4, 7, "a")->str(), "   7|a  |");
    std::string longText(1000, 'x');
    EXPECT_EQ(NSString::stringWithFormat("%s", longText.c_str())->str(), longText);
    // An object's default description names its class.
    NSArray* a = NSArray::array();
    EXPECT_NE(a->NSObject::description()->str().find("NSArray"), std::string::npos);
    EXPECT_EQ(bd::className(a), "NSArray");
    EXPECT_EQ(bd::className(nullptr), "");
}

// JSON that editors and CI read stays valid whatever the text: quotes, backslashes and control
// characters escaped, UTF-8 kept, bytes that are no UTF-8 (a name a wallpaper made up) U+FFFD.
TEST(NSStringTest, JsonStringIsValidJsonForAnyBytes) {
    EXPECT_EQ(bd::jsonString(""), "\"\"");
    EXPECT_EQ(bd::jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(bd::jsonString("l1\nl2\t\r\x01\x7f"), "\"l1\\nl2\\t\\r\\u0001\\u007f\"");
    EXPECT_EQ(bd::jsonString("caf\xc3\xa9 \xe2\x82\xac"), "\"caf\xc3\xa9 \xe2\x82\xac\"");
    EXPECT_EQ(bd::jsonString("\xff.png"), "\"\\ufffd.png\"");
    EXPECT_EQ(bd::jsonString("\xe2\x82"), "\"\\ufffd\\ufffd\"");  // cut short at the end
}

TEST(NSStringTest, BytesMustBeValidUTF8) {
    NSAutoreleasePool pool;
    const char eacute[] = "\xC3\xA9";
    NSString* s = alloc<NSString>()->initWithBytes(eacute, 2, NSUTF8StringEncoding);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->length(), 1u);
    EXPECT_EQ(std::strlen(s->cStringUsingEncoding(NSUTF8StringEncoding)), 2u);
    s->release();
    for (const char* bad :
         {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "a\x80"}) {
        EXPECT_EQ(alloc<NSString>()->initWithBytes(bad, std::strlen(bad), NSUTF8StringEncoding),
                  nullptr)
            << bad;
    }
    EXPECT_EQ(alloc<NSString>()->initWithBytes("abc", 3, 1), nullptr);  // only UTF-8
    NSString* empty = alloc<NSString>()->initWithBytes(nullptr, 0, NSUTF8StringEncoding);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->str(), "");
    empty->release();
}

TEST(NSStringTest, SuffixEqualityAndPaths) {
    NSAutoreleasePool pool;
    EXPECT_TRUE(NSSTR("Frog.bundle")->hasSuffix(NSSTR("bundle")));
    EXPECT_FALSE(NSSTR("le")->hasSuffix(NSSTR("bundle")));
    EXPECT_FALSE(NSSTR("a")->hasSuffix(nullptr));
    EXPECT_TRUE(NSSTR("a")->isEqual(NSSTR("a")));
    EXPECT_EQ(NSSTR("a")->hash(), NSSTR("a")->hash());
    EXPECT_FALSE(NSSTR("a")->isEqualToString(nullptr));
    EXPECT_EQ(NSSTR("/x/y/")->stringByAppendingPathComponent(NSSTR("z.png"))->str(), "/x/y/z.png");
    EXPECT_EQ(NSSTR("/x/y.tar.gz")->lastPathComponent()->str(), "y.tar.gz");
    EXPECT_EQ(NSSTR("/x/y.tar.gz")->pathExtension()->str(), "gz");
}

TEST(NSLogTest, CaptureSeesMessage) {
    std::vector<std::string> seen;
    bd::setLogCapture([&](const std::string& m) { seen.push_back(m); });
    {
        NSAutoreleasePool pool;
        NSLog("data length = %d", 2);
        NSLog("key = %@", NSSTR("a"));
    }
    bd::setLogCapture(nullptr);
    NSLog("not captured");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], "data length = 2");
    EXPECT_EQ(seen[1], "key = a");
}

TEST(CollectionsTest, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
    NSAutoreleasePool pool;
    NSMutableDictionary* d = NSMutableDictionary::dictionary();
    d->setObject(NSNumber::numberWithInt(1), NSSTR("b"));
    d->setObject(NSNumber::numberWithInt(2), NSSTR("a"));
    d->setObject(NSNumber::numberWithInt(3), NSSTR("c"));
    d->setObject(NSNumber::numberWithInt(4), NSSTR("a"));  // replaces, keeps its place
    d->setObject(nullptr, NSSTR("z"));
    ASSERT_EQ(d->count(), 3u);
    NSArray* keys = d->allKeys();
    NSArray* values = d->allValues();
    EXPECT_EQ(as<NSString>(keys->objectAtIndex(0))->str(), "b");
    EXPECT_EQ(as<NSString>(keys->objectAtIndex(1))->str(), "a");
    EXPECT_EQ(as<NSNumber>(values->objectAtIndex(1))->intValue(), 4);
    d->removeObjectForKey(NSSTR("b"));
    EXPECT_EQ(as<NSNumber>(d->objectForKey(NSSTR("c")))->intValue(), 3);
    EXPECT_EQ(as<NSString>(d->allKeys()->firstObject())->str(), "a");
    EXPECT_EQ(d->objectForKey(NSSTR("b")), nullptr);
    EXPECT_EQ(d->objectForKey(nullptr), nullptr);

    NSDictionary* pairs =
        NSDictionary::dictionaryWithObjects(NSArray::arrayWithObjects({NSSTR("1"), NSSTR("2")}),
                                            NSArray::arrayWithObjects({NSSTR("k1"), NSSTR("k2")}));
    d->setDictionary(pairs);
    EXPECT_TRUE(d->isEqual(pairs));
    d->setDictionary(nullptr);
    EXPECT_EQ(d->count(), 0u);
}

TEST(CollectionsTest, ArrayOperations) {
    NSAutoreleasePool pool;
    NSMutableArray* a = NSMutableArray::arrayWithCapacity(1u << 30);  // capacity is only a hint
    a->addObject(NSSTR("x"));
    a->insertObject(NSSTR("w"), 0);
    a->insertObject(NSSTR("z"), 99);
    a->addObject(nullptr);
    ASSERT_EQ(a->count(), 3u);
    std::string joined;
    for (NSObject* o : *a) joined += as<NSString>(o)->str();
    EXPECT_EQ(joined, "wxz");
    EXPECT_TRUE(a->containsObject(NSSTR("x")));
    a->removeObject(NSSTR("x"));
    a->removeObjectAtIndex(7);
    EXPECT_EQ(a->count(), 2u);
    EXPECT_EQ(a->objectAtIndex(5), nullptr);
    a->removeAllObjects();
    EXPECT_EQ(a->firstObject(), nullptr);
}

TEST(CollectionsTest, ValuesKeepTheirObjectsAlive) {
    NSString* s = alloc<NSString>()->initWithStdString("kept");
    NSMutableArray* a = alloc<NSMutableArray>();
    a->addObject(s);
    EXPECT_EQ(s->retainCount(), 2);
    a->release();
    EXPECT_EQ(s->retainCount(), 1);
    s->release();
}

TEST(NSNumberTest, Conversions) {
    NSAutoreleasePool pool;
    EXPECT_EQ(NSNumber::numberWithDouble(2.75)->intValue(), 2);
    EXPECT_FLOAT_EQ(NSNumber::numberWithInt(-3)->floatValue(), -3.0f);
    EXPECT_TRUE(NSNumber::numberWithBool(true)->boolValue());
    EXPECT_EQ(NSNumber::numberWithLongLong(-5)->longLongValue(), -5);
    EXPECT_EQ(NSNumber::numberWithUnsignedInt(7)->intValue(), 7);
    EXPECT_TRUE(NSNumber::numberWithInt(1)->isEqual(NSNumber::numberWithDouble(1.0)));
    EXPECT_EQ(NSNumber::numberWithInt(1)->hash(), NSNumber::numberWithDouble(1.0)->hash());
    EXPECT_EQ(NSNumber::numberWithDouble(1e300)->longLongValue(), INT64_MAX);
}

TEST(NSDataTest, BytesFilesAndEquality) {
    NSAutoreleasePool pool;
    bdtest::TempDir tmp("values");
    std::string dir = tmp.path();
    std::string file = dir + "/d.bin";
    FILE* f = std::fopen(file.c_str(), "wb");
    std::fwrite("\x01\x02\x03", 1, 3, f);
    std::fclose(f);
    NSData* d = NSData::dataWithContentsOfFile(NSString::stringWithStdString(file));
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isEqualToData(NSData::dataWithBytes("\x01\x02\x03", 3)));
    uint8_t two[2] = {};
    d->getBytes(two, 2);
    EXPECT_EQ(two[1], 2);
    EXPECT_EQ(NSData::dataWithContentsOfFile(NSString::stringWithStdString(dir + "/none")),
              nullptr);
    EXPECT_EQ(NSData::dataWithContentsOfFile(NSString::stringWithStdString(dir)), nullptr);
    EXPECT_EQ(NSData::dataWithContentsOfFile(nullptr), nullptr);
    NSMutableData* m = NSMutableData::dataWithData(d);
    m->appendBytes("\x04", 1);
    EXPECT_EQ(m->length(), 4u);
    EXPECT_EQ(d->length(), 3u);
    m->setLength(1);
    EXPECT_EQ(m->description()->str(), "<01>");
}

TEST(NSBundleTest, PathsAndResources) {
    NSAutoreleasePool pool;
    bdtest::TempDir tmp("values");
    std::string dir = tmp.path();
    std::string file = dir + "/bg.jpg";
    std::fclose(std::fopen(file.c_str(), "wb"));
    NSBundle* b = NSBundle::bundleWithPath(NSString::stringWithStdString(dir + "/"));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->resourcePath()->str(), dir);
    EXPECT_EQ(b->pathForResource(NSSTR("bg"), NSSTR("jpg"))->str(), file);
    EXPECT_EQ(b->pathForResource(NSSTR("bg.jpg"), nullptr)->str(), file);
    EXPECT_EQ(b->pathForResource(NSSTR("missing"), NSSTR("png")), nullptr);
    EXPECT_EQ(NSBundle::bundleWithPath(NSString::stringWithStdString(file)), nullptr);
    EXPECT_EQ(NSBundle::bundleWithPath(nullptr), nullptr);

    NSBundle::setMainBundlePath(NSString::stringWithStdString(dir));
    EXPECT_EQ(NSBundle::mainBundle()->bundlePath()->str(), dir);
    NSBundle::setMainBundlePath(nullptr);
    EXPECT_NE(NSBundle::mainBundle()->bundlePath()->str(), dir);

    NSError* error = nullptr;
    NSArray* names = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(
        NSString::stringWithStdString(dir), &error);
    ASSERT_NE(names, nullptr);
    ASSERT_EQ(names->count(), 1u);
    EXPECT_EQ(as<NSString>(names->firstObject())->str(), "bg.jpg");
    EXPECT_TRUE(
        NSFileManager::defaultManager()->fileExistsAtPath(NSString::stringWithStdString(file)));

    NSArray* none = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(
        NSString::stringWithStdString(dir + "/nope"), &error);
    EXPECT_EQ(none, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ENOENT);
    EXPECT_NE(error->localizedDescription()->str().find(dir + "/nope"), std::string::npos);
    EXPECT_NE(error->description()->str().find("No such file"), std::string::npos);
    EXPECT_EQ(NSFileManager::defaultManager()->contentsOfDirectoryAtPath(nullptr, nullptr),
              nullptr);

    EXPECT_EQ(NSURL::fileURLWithPath(NSSTR("/a b"))->path()->str(), "/a b");
    EXPECT_EQ(NSURL::fileURLWithPath(nullptr), nullptr);
}

}  // namespace
