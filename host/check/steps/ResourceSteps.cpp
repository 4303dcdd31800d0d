// The resource step of `backdrop check`, inside a wallpaper process that loads no library:
// the thumbnail, every picture file and every resource package of the bundle are decoded.
// Hostile files can only hurt this sandboxed process.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "AudioToolbox/WAVDecoder.h"
#include "CheckSteps.h"
#include "Common/NSData+DataEncrypt.h"
#include "Foundation/FileIO.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"
#include "UIKit/UIScreen.h"

namespace fs = std::filesystem;

namespace host::check {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

NSString* str(const std::string& s) {
    return NSString::stringWithUTF8String(s.c_str());
}

// "1 picture", "2 pictures".
std::string count(size_t n, const char* one) {
    return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
}

// A package picture that looks drawn for the screen's pixels rather than its points: package
// pictures come out of the image cache at scale 1, so such art shows at `scale` times its
// intended size. It looks so when its name says @2x, or when it is larger than the screen in
// points by a quarter or more while it fits the screen in pixels.
bool looksHighDensity(const std::string& key, CGSize pixels, CGRect screen, double scale) {
    if (scale < 2) return false;
    if (key.find("@2x") != std::string::npos || key.find("@3x") != std::string::npos) return true;
    double w = screen.size.width, h = screen.size.height;
    bool larger = pixels.width >= w * 1.25 || pixels.height >= h * 1.25;
    bool fits = pixels.width <= w * scale * 1.05 && pixels.height <= h * scale * 1.05;
    return larger && fits;
}

std::string sizeText(CGSize s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g x %g", s.width, s.height);
    return buf;
}

}  // namespace

bool runResourceStep(const std::string& bundlePath, std::vector<std::string>* lines) {
    NSAutoreleasePool pool;
    std::error_code ec;
    std::vector<fs::path> pictures, packages, sounds;
    if (fs::is_directory(bundlePath, ec)) {
        fs::recursive_directory_iterator it(bundlePath, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            std::string ext = lower(it->path().extension().string());
            if (ext == ".png" || ext == ".jpg" || ext == ".jpeg") pictures.push_back(it->path());
            if (ext == ".pkg") packages.push_back(it->path());
            if (ext == ".wav") sounds.push_back(it->path());
        }
    }
    std::sort(pictures.begin(), pictures.end());
    std::sort(packages.begin(), packages.end());
    std::sort(sounds.begin(), sounds.end());
    UIScreen* screen = UIScreen::mainScreen();
    const double scale = screen->scale();
    std::vector<std::string> warnings;

    fs::path thumb = fs::path(bundlePath) / "thumbnail.png";
    if (!fs::is_regular_file(thumb, ec))
        lines->push_back("thumbnail=fail the bundle has no thumbnail.png");
    else if (UIImage* t = UIImage::imageWithContentsOfFile(str(thumb.string())))
        lines->push_back("thumbnail=ok " + sizeText(t->size()));
    else
        lines->push_back("thumbnail=fail thumbnail.png does not decode");

    std::string bad;
    size_t badCount = 0;
    for (auto& p : pictures) {
        NSAutoreleasePool each;
        if (!UIImage::imageWithContentsOfFile(str(p.string()))) {
            ++badCount;
            bad += (bad.empty() ? "" : ", ") + fs::relative(p, bundlePath, ec).string();
        }
    }
    if (badCount)
        lines->push_back("pictures=fail " + std::to_string(badCount) + " of " +
                         std::to_string(pictures.size()) + " don't decode: " + bad);
    else
        lines->push_back("pictures=ok " + count(pictures.size(), "picture"));

    std::string problems;
    size_t records = 0;
    for (auto& p : packages) {
        NSAutoreleasePool each;
        std::string name = fs::relative(p, bundlePath, ec).string();
        std::string problem;
        NSDictionary* datas = DataEncrypt::readDatasFromFilePath(str(p.string()), &problem);
        if (problem.empty()) {
            for (NSObject* k : *datas->allKeys()) {
                ++records;
                auto* value = as<NSData>(datas->objectForKey(k));
                UIImage* picture =
                    UIImage::imageWithData(DataEncrypt::dataWithEncryptionData(value));
                std::string key = k->description()->str();
                if (!picture) {
                    problem += (problem.empty() ? "" : ", ") + key + " is no picture";
                } else if (looksHighDensity(key, picture->size(), screen->bounds(), scale) &&
                           warnings.size() < 16) {
                    char text[512];
                    std::snprintf(text, sizeof text,
                                  "%s: \"%s\" (%s px) looks like @%gx art, but package pictures "
                                  "come out of the image cache at scale 1: it shows at %s points "
                                  "on this %gx%g-point screen (draw it at 1x, or load it with "
                                  "imageWithName2x: from a plain file)",
                                  name.c_str(), key.c_str(), sizeText(picture->size()).c_str(),
                                  scale, sizeText(picture->size()).c_str(),
                                  screen->bounds().size.width, screen->bounds().size.height);
                    warnings.push_back(text);
                }
            }
        }
        if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + name + ": " + problem;
    }
    if (!problems.empty())
        lines->push_back("packages=fail " + problems);
    else
        lines->push_back("packages=ok " + count(packages.size(), "package") + ", " +
                         count(records, "record"));

    // Every sound, as AudioServicesCreateSystemSoundID would read it.
    std::string badSounds;
    size_t badSoundCount = 0;
    for (auto& p : sounds) {
        std::string name = fs::relative(p, bundlePath, ec).string();
        std::string why;
        std::vector<uint8_t> bytes;
        if (fs::file_size(p, ec) > bd::audio::kMaxWAVFileBytes)
            why = "larger than " + std::to_string(bd::audio::kMaxWAVFileBytes >> 20) + " MiB";
        else if (!bd::readRegularFile(p.string().c_str(), bytes, bd::audio::kMaxWAVFileBytes))
            why = "unreadable";
        else {
            bd::audio::WAVSamples samples;
            bd::audio::WAVError e = bd::audio::decodeWAV(bytes.data(), bytes.size(), samples);
            if (e != bd::audio::WAVError::none) why = bd::audio::wavErrorName(e);
        }
        if (!why.empty()) {
            ++badSoundCount;
            badSounds += (badSounds.empty() ? "" : "; ") + name + ": " + why;
        }
    }
    if (badSoundCount)
        lines->push_back("sounds=fail " + std::to_string(badSoundCount) + " of " +
                         std::to_string(sounds.size()) + " don't decode: " + badSounds);
    else
        lines->push_back("sounds=ok " + count(sounds.size(), "sound"));
    for (const std::string& w : warnings) lines->push_back("warn=" + w);
    return true;
}

}  // namespace host::check
