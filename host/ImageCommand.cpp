// `backdrop image OP IN [ARGS] -o OUT`: the image utilities on picture files, for wallpaper
// authors preparing assets. OUT is a PNG of the result, or for `pixels` the raw bytes of
// getImageData (alpha, red, green, blue per pixel, premultiplied, rows from the top).

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Commands.h"
#include "Common/ImageSet.h"
#include "Foundation/FileIO.h"
#include "Foundation/NSString.h"
#include "UIKit/ImageIO.h"
#include "UIKit/UIColor.h"
#include "UIKit/UIImage.h"

namespace {

using host::fail;

struct Args {
    std::string in, out, second, color;
    std::vector<std::string> numbers;
    bool alpha = false;
};

bool parseNumber(const std::string& s, double& out) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return errno == 0 && end && *end == '\0' && std::isfinite(out);
}

// "#rrggbb" or "#rrggbbaa".
UIColor* parseColor(const std::string& s) {
    if ((s.size() != 7 && s.size() != 9) || s[0] != '#') return nullptr;
    unsigned v[4] = {0, 0, 0, 255};
    for (size_t i = 0; i + 1 < s.size(); i += 2) {
        std::string pair = s.substr(i + 1, 2);
        char* end = nullptr;
        unsigned long x = std::strtoul(pair.c_str(), &end, 16);
        if (!end || *end != '\0' || pair.find_first_of("+- ") != std::string::npos) return nullptr;
        v[i / 2] = unsigned(x);
    }
    return UIColor::colorWithRed(v[0] / 255.0, v[1] / 255.0, v[2] / 255.0, v[3] / 255.0);
}

UIImage* load(const std::string& path) {
    return UIImage::imageWithContentsOfFile(NSString::stringWithUTF8String(path.c_str()));
}

int writeResult(UIImage* result, const std::string& op, const std::string& out) {
    if (!result) return fail(op + ": the operation gives no picture");
    if (!bd::writePNG(result->CGImage(), out.c_str())) return fail("cannot write " + out);
    std::printf("%s: %zux%zu -> %s\n", op.c_str(), CGImageGetWidth(result->CGImage()),
                CGImageGetHeight(result->CGImage()), out.c_str());
    return 0;
}

int run(const std::string& op, const Args& a) {
    NSAutoreleasePool pool;
    UIImage* image = load(a.in);
    if (!image) return fail("not a picture: " + a.in);

    if (op == "clip") {
        double v[4];
        for (int i = 0; i < 4; ++i)
            if (!parseNumber(a.numbers[size_t(i)], v[i]))
                return fail("clip: not a number: " + a.numbers[size_t(i)]);
        UIImage* part = SpriteExtend::clipImageWithRect(image, CGRectMake(v[0], v[1], v[2], v[3]));
        if (!part) return fail("clip: the rectangle lies outside the picture");
        return writeResult(part, op, a.out);
    }
    if (op == "gray")
        return writeResult(SpriteExtend::createGrayImageWithAlpha(image, a.alpha), op, a.out);
    if (op == "round") {
        double r;
        if (!parseNumber(a.numbers[0], r)) return fail("round: not a number: " + a.numbers[0]);
        return writeResult(SpriteExtend::imageWithRoundCorners(image, r), op, a.out);
    }
    if (op == "colorize" || op == "overlay") {
        UIColor* color = parseColor(a.color);
        if (!color) return fail(op + ": not a colour (#rrggbb or #rrggbbaa): " + a.color);
        UIImage* result = op == "colorize" ? ImageSet::colorizeImage(image, color)
                                           : SpriteExtend::imageColorOverlay(image, color);
        return writeResult(result, op, a.out);
    }
    if (op == "mask" || op == "draw-over") {
        UIImage* second = load(a.second);
        if (!second) return fail("not a picture: " + a.second);
        UIImage* result = op == "mask" ? ImageSet::maskImage(image, second)
                                       : SpriteExtend::drawToImage(image, second);
        return writeResult(result, op, a.out);
    }
    // pixels
    uint8_t* bytes = SpriteExtend::getImageData(image);
    if (!bytes) return fail("pixels: cannot read out the picture");
    size_t n = CGImageGetWidth(image->CGImage()) * CGImageGetHeight(image->CGImage()) * 4;
    bool ok = bd::writeFileAtomically(a.out, bytes, n);
    std::free(bytes);
    if (!ok) return fail("cannot write " + a.out);
    std::printf("pixels: %zu bytes -> %s\n", n, a.out.c_str());
    return 0;
}

}  // namespace

namespace host {

void addImageCommand(CLI::App& app, int& exitCode) {
    static Args args;
    auto* image = app.add_subcommand("image", "Make a new picture from a picture file");
    image->require_subcommand(1);
    auto common = [&exitCode](CLI::App* sub, const std::string& op) {
        sub->add_option("IN", args.in, "Picture file (PNG or JPEG)")->required();
        sub->callback([&exitCode, op] { exitCode = run(op, args); });
    };
    auto output = [](CLI::App* sub, const char* what) {
        sub->add_option("-o,--output", args.out, what)->required();
    };
    const char* png = "PNG file to write";

    auto* clip =
        image->add_subcommand("clip", "Cut out the pixels inside X Y W H (top-left origin)");
    common(clip, "clip");
    clip->add_option("X Y W H", args.numbers, "Rectangle in pixels")->required()->expected(4);
    output(clip, png);

    auto* gray =
        image->add_subcommand("gray", "Turn grey (with --alpha, black becomes transparent)");
    common(gray, "gray");
    gray->add_flag("--alpha", args.alpha, "Make pixels of grey 0 transparent");
    output(gray, png);

    auto* round = image->add_subcommand("round", "Cut the corners round with RADIUS points");
    common(round, "round");
    round->add_option("RADIUS", args.numbers, "Corner radius")->required()->expected(1);
    output(round, png);

    for (const char* op : {"colorize", "overlay"}) {
        auto* sub = image->add_subcommand(op, std::string(op) == "colorize"
                                                  ? "Tint with COLOR in multiply mode"
                                                  : "Tint with COLOR in overlay mode");
        common(sub, op);
        sub->add_option("COLOR", args.color, "#rrggbb or #rrggbbaa")->required();
        output(sub, png);
    }

    auto* mask = image->add_subcommand("mask", "Cut with MASK (black shows, white hides)");
    common(mask, "mask");
    mask->add_option("MASK", args.second, "Mask picture file")->required();
    output(mask, png);

    auto* over = image->add_subcommand("draw-over", "Draw SECOND over the picture, stretched");
    common(over, "draw-over");
    over->add_option("SECOND", args.second, "Picture file to draw over")->required();
    output(over, png);

    auto* pixels = image->add_subcommand("pixels", "Write the raw ARGB bytes of the picture");
    common(pixels, "pixels");
    output(pixels, "File to write the bytes to");
}

}  // namespace host
