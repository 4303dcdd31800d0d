#include "support/golden.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "UIKit/ImageDecoder.h"
#include "UIKit/ImageIO.h"

namespace bdtest {

std::string dataPath(const std::string& name) {
    return std::string(BD_TEST_DATA_DIR) + "/" + name;
}

CGImageRef loadPNG(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return nullptr;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    bd::DecodedImage d = bd::decodePNG(bytes.data(), bytes.size());
    if (!d.image) return nullptr;
    return CGImageRetain(d.image.get());
}

int maxChannelDifference(CGImageRef a, CGImageRef b) {
    if (!a || !b || a->width() != b->width() || a->height() != b->height()) return -1;
    if (!a->isARGB32() || !b->isARGB32()) return -1;
    int worst = 0;
    for (size_t y = 0; y < a->height(); ++y) {
        const uint8_t* ra = a->bytes() + y * a->bytesPerRow();
        const uint8_t* rb = b->bytes() + y * b->bytesPerRow();
        for (size_t i = 0; i < a->width() * 4; ++i)
            worst = std::max(worst, std::abs(ra[i] - rb[i]));
    }
    return worst;
}

std::string matchGolden(CGImageRef image, const std::string& name, int tolerance) {
    std::string path = dataPath(name);
    const char* update = std::getenv("BD_UPDATE_GOLDENS");
    if (update && std::strcmp(update, "1") == 0) {
        if (!bd::writePNG(image, path.c_str())) return "could not write " + path;
        return "";
    }
    Ref<CGImage> golden = adopt(loadPNG(path));
    if (!golden) return "no golden picture " + path + " (BD_UPDATE_GOLDENS=1 makes it)";
    int d = maxChannelDifference(image, golden.get());
    if (d < 0)
        return "size differs from " + path + ": " + std::to_string(image->width()) + "x" +
               std::to_string(image->height()) + " against " + std::to_string(golden->width()) +
               "x" + std::to_string(golden->height());
    if (d > tolerance) {
        std::string flat = name;
        for (char& c : flat)
            if (c == '/') c = '-';
        std::string out = std::string(BD_BUILD_DIR) + "/tests/" + flat + ".actual.png";
        bd::writePNG(image, out.c_str());
        return "differs from " + path + " by up to " + std::to_string(d) + " (tolerance " +
               std::to_string(tolerance) + "); wrote " + out;
    }
    return "";
}

}  // namespace bdtest
