// The image utilities on several threads at once: shared source pictures, each thread with its
// own image contexts, and a bitmap handed out by a context read on another thread while the
// context goes on drawing (copy on write must keep the two apart). Runs under TSan.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "Common/ImageSet.h"
#include "CoreGraphics/CGColorSpace.h"
#include "CoreGraphics/CGContext.h"
#include "support/pictures.h"

namespace {

TEST(ImageSetThreads, OperationsRunSideBySideOnSharedPictures) {
    NSAutoreleasePool pool;
    CGImageRef bitmap = bdtest::makeImage(
        64, 48, [](size_t x, size_t y) { return (x + y) % 3 ? 0xFF204080u : 0x80400000u; });
    Ref<UIImage> image = retained(UIImage::imageWithCGImage(bitmap));
    CGImageRelease(bitmap);
    CGImageRef grey =
        bdtest::makeGrayImage(64, 48, [](size_t x, size_t) { return uint8_t(x * 4); });
    Ref<UIImage> mask = retained(UIImage::imageWithCGImage(grey));
    CGImageRelease(grey);

    std::atomic<int> failures{0};
    auto work = [&] {
        for (int round = 0; round < 20; ++round) {
            NSAutoreleasePool inner;
            UIColor* color = UIColor::colorWithRed(0.2, 0.6, 0.9, 1);
            UIImage* results[] = {
                ImageSet::colorizeImage(image.get(), color),
                ImageSet::maskImage(image.get(), mask.get()),
                SpriteExtend::imageColorOverlay(image.get(), color),
                SpriteExtend::drawToImage(image.get(), mask.get()),
                SpriteExtend::clipImageWithRect(image.get(), CGRectMake(3, 4, 20, 10)),
                SpriteExtend::createGrayImageWithAlpha(image.get(), true),
                SpriteExtend::imageWithRoundCorners(image.get(), 8),
            };
            for (UIImage* r : results)
                if (!r) ++failures;
            uint8_t* bytes = SpriteExtend::getImageData(image.get());
            if (!bytes || bytes[0] != 0x80) ++failures;
            std::free(bytes);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back(work);
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(ImageSetThreads, AHandedOutBitmapStaysAsItWasWhileTheContextDrawsOn) {
    CGColorSpaceRef rgb = CGColorSpaceCreateDeviceRGB();
    CGContextRef c =
        CGBitmapContextCreate(nullptr, 32, 32, 8, 0, rgb, kCGImageAlphaPremultipliedFirst);
    CGColorSpaceRelease(rgb);
    CGContextSetRGBFillColor(c, 1, 0, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 32, 32));
    CGImageRef snapshot = CGBitmapContextCreateImage(c);
    std::atomic<bool> changed{false};
    std::thread reader([&] {
        for (int i = 0; i < 200; ++i)
            for (size_t y = 0; y < 32; y += 7)
                if (bdtest::pixelAt(snapshot, y, y) != 0xFFFF0000u) changed = true;
    });
    for (int i = 0; i < 50; ++i) {
        CGContextSetRGBFillColor(c, 0, 0, i % 2, 1);
        CGContextFillRect(c, CGRectMake(0, 0, 32, 32));
    }
    reader.join();
    EXPECT_FALSE(changed.load());
    CGImageRelease(snapshot);
    CGContextRelease(c);
}

}  // namespace
