// The resource step of `backdrop check`, inside a wallpaper process that loads no library:
// the thumbnail, every picture file and every resource package of the bundle are decoded.
// Hostile files can only hurt this sandboxed process.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "CheckSteps.h"
#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"

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

std::string sizeText(CGSize s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g x %g", s.width, s.height);
    return buf;
}

}  // namespace

bool runResourceStep(const std::string& bundlePath, std::vector<std::string>* lines) {
    NSAutoreleasePool pool;
    std::error_code ec;
    std::vector<fs::path> pictures, packages;
    if (fs::is_directory(bundlePath, ec)) {
        fs::recursive_directory_iterator it(bundlePath, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            std::string ext = lower(it->path().extension().string());
            if (ext == ".png" || ext == ".jpg" || ext == ".jpeg") pictures.push_back(it->path());
            if (ext == ".pkg") packages.push_back(it->path());
        }
    }
    std::sort(pictures.begin(), pictures.end());
    std::sort(packages.begin(), packages.end());

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
        lines->push_back("pictures=ok " + std::to_string(pictures.size()) + " pictures");

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
                if (!UIImage::imageWithData(DataEncrypt::dataWithEncryptionData(value)))
                    problem +=
                        (problem.empty() ? "" : ", ") + k->description()->str() + " is no picture";
            }
        }
        if (!problem.empty()) problems += (problems.empty() ? "" : "; ") + name + ": " + problem;
    }
    if (!problems.empty())
        lines->push_back("packages=fail " + problems);
    else
        lines->push_back("packages=ok " + std::to_string(packages.size()) + " packages, " +
                         std::to_string(records) + " records");
    return true;
}

}  // namespace host::check
