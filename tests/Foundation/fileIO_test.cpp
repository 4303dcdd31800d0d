// Files that are not files, and writes that fail half-way: every reader of a bundle's files
// refuses a FIFO or a device without blocking, and a write that can't finish leaves the old file
// whole and no temporary behind, also after a writer was killed.
#include "Foundation/FileIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "AudioToolbox/AudioServices.h"
#include "Common/DataTool.h"
#include "Common/ImageCache.h"
#include "Common/ImageSet.h"
#include "Common/NSData+DataEncrypt.h"
#include "Foundation/NSBundle.h"
#include "Foundation/NSData.h"
#include "Foundation/NSDictionary.h"
#include "Foundation/NSString.h"
#include "UIKit/UIImage.h"
#include "interface/DeskTopView.h"
#include "support/bundles.h"
#include "support/files.h"
#include "support/pictures.h"
#include "support/process.h"

namespace {

NSString* ns(const std::string& s) {
    return NSString::stringWithStdString(s);
}

std::vector<std::string> names(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                out.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A bundle whose every file is a FIFO (or a link to a device) where a file should be; each
// reader must come back at once with nothing. Run in a child so that a reader that blocks
// fails the test instead of hanging it.
TEST(NotAFile, EveryReaderRefusesFifosAndDevicesWithoutBlocking) {
    bdtest::TempDir dir("notafile");
    std::string bundle = dir / "Fifo.bundle";
    ASSERT_EQ(mkdir(bundle.c_str(), 0755), 0);
    for (const char* name :
         {"description.plist", "thumbnail.png", "bg.jpg", "res.pkg", "libFifo.so", "sound.wav"})
        ASSERT_TRUE(bdtest::makeFifo(bundle + "/" + name));
    ASSERT_EQ(symlink("/dev/zero", (bundle + "/zero.png").c_str()), 0);

    const std::vector<std::pair<const char*, std::function<bool()>>> checks = {
        {"NSData", [&] { return !NSData::dataWithContentsOfFile(ns(bundle + "/bg.jpg")); }},
        {"NSData device",
         [&] { return !NSData::dataWithContentsOfFile(ns(bundle + "/zero.png")); }},
        {"UIImage", [&] { return !UIImage::imageWithContentsOfFile(ns(bundle + "/bg.jpg")); }},
        {"UIImage device",
         [&] { return !UIImage::imageWithContentsOfFile(ns(bundle + "/zero.png")); }},
        {"SpriteExtend",
         [&] { return !SpriteExtend::imageWithContentsOfFile(ns(bundle + "/bg.jpg"), true); }},
        {"plist",
         [&] {
             return !NSDictionary::dictionaryWithContentsOfFile(ns(bundle + "/description.plist"));
         }},
        {"package",
         [&] { return DataEncrypt::readDatasFromFilePath(ns(bundle + "/res.pkg"))->count() == 0; }},
        {"scrambled file",
         [&] {
             return DataEncrypt::encryptionDataWithContentsOfFile(ns(bundle + "/bg.jpg"), true)
                        ->length() == 1;
         }},
        {"catalogue description",
         [&] {
             return !DataTool::readDeskTopDescriptionWithKey(NSSTR("name Library"), ns(bundle));
         }},
        {"catalogue thumbnail",
         [&] { return !DataTool::readDeskTopThumbnailImageFromBundleFile(ns(bundle)); }},
        {"image cache",
         [&] {
             ImageCache* cache = ImageCache::sharedInstance();
             cache->setResBundle(NSBundle::bundleWithPath(ns(bundle)));
             bool ok = !cache->imageWithName2x(NSSTR("bg.jpg"));
             cache->setResBundle(nullptr);
             return ok;
         }},
        {"loader",
         [&] {
             // A description naming the FIFO as the library: dlopen would block on it.
             std::string linked = bdtest::linkBundle(
                 bundle, dir.path(), "Linked",
                 bdtest::plistXml({{"name Library", "<string>libFifo.so</string>"}}));
             return !DeskTopView::createDeskTopViewFromBundle(NSBundle::bundleWithPath(ns(linked)));
         }},
        {"sound",
         [&] {
             SystemSoundID id = 0;
             return bd::audio::createSystemSoundFromFile((bundle + "/sound.wav").c_str(), &id) !=
                        kAudioServicesNoError &&
                    id == 0;
         }},
    };
    for (size_t i = 0; i < checks.size(); ++i) {
        int rc = bdtest::runInChild(
            [&] {
                NSAutoreleasePool pool;
                return checks[i].second() ? 0 : 1;
            },
            20);
        EXPECT_EQ(rc, 0) << checks[i].first << (rc == -1 ? ": blocked" : ": read something");
    }
}

// A write that fails part way (here: past the file-size limit, as on a full disk) leaves the
// file it would replace exactly as it was, and no temporary.
TEST(AtomicWrites, AFailedWriteKeepsTheOldFileWhole) {
    bdtest::TempDir dir("atomic");
    std::string target = dir / "preview.webp";
    std::string old(3000, 'o');
    ASSERT_TRUE(bd::writeFileAtomically(target, old.data(), old.size()));
    std::string big(64 * 1024, 'n');
    int rc = bdtest::runInChild(
        [&] {
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit = {16 * 1024, 16 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            bool a = bd::writeFileAtomically(target, big.data(), big.size());
            bool b = NSData::dataWithBytes(big.data(), big.size())->writeToFile(ns(target), true);
            return !a && !b ? 0 : 1;
        },
        20);
    EXPECT_EQ(rc, 0) << "a write past the limit reported success";
    EXPECT_EQ(bdtest::readFile(target), old);
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"preview.webp"});

    // Within the limit the same write replaces it.
    ASSERT_TRUE(bd::writeFileAtomically(target, big.data(), big.size()));
    EXPECT_EQ(bdtest::readFile(target), big);

    // A device is written as it is (an output sent to /dev/null), a folder never.
    EXPECT_TRUE(bd::writeFileAtomically("/dev/null", big.data(), big.size()));
    EXPECT_FALSE(bd::writeFileAtomically(dir.path(), big.data(), big.size()));
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"preview.webp"});
}

// Temporaries left by writers that were killed (their process is gone, or it is this process's
// id on a name it isn't writing) go with the next write of the same file; those of live writers
// and of other files stay.
TEST(AtomicWrites, TheNextWriteSweepsDeadWritersTemporaries) {
    bdtest::TempDir dir("sweep");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    ASSERT_GT(dead, 0);
    waitpid(dead, nullptr, 0);
    std::string d = std::to_string(dead), self = std::to_string(getpid());
    const std::vector<std::string> stale = {".x.pkg.backdrop-tmp." + d,
                                            ".x.pkg.backdrop-tmp." + d + ".3",
                                            ".x.pkg.backdrop-tmp." + self + ".9"};
    const std::vector<std::string> kept = {".x.pkg.backdrop-tmp.1",  // a live process
                                           ".y.pkg.backdrop-tmp." + d, ".x.pkg.backdrop-tmp.x"};
    for (auto& n : stale) ASSERT_TRUE(bdtest::writeFile(dir / n, {1, 2, 3}));
    for (auto& n : kept) ASSERT_TRUE(bdtest::writeFile(dir / n, {1, 2, 3}));
    EXPECT_TRUE(bd::isTemporaryOf(stale[0], "x.pkg"));
    EXPECT_FALSE(bd::isTemporaryOf(kept[2], "x.pkg"));

    ASSERT_TRUE(bd::writeFileAtomically(dir / "x.pkg", "new", 3));
    std::vector<std::string> expect = kept;
    expect.push_back("x.pkg");
    std::sort(expect.begin(), expect.end());
    EXPECT_EQ(names(dir.path()), expect);
}

// One name written inside an open folder: a link of that name is replaced, never followed, and
// a folder in its way is refused.
TEST(AtomicWrites, WritingIntoAFolderNeverFollowsALink) {
    bdtest::TempDir dir("writeat");
    std::string victim = dir / "victim";
    ASSERT_TRUE(bdtest::writeFile(victim, {'v'}));
    ASSERT_EQ(mkdir((dir / "out").c_str(), 0755), 0);
    ASSERT_EQ(symlink(victim.c_str(), (dir / "out/ok.txt").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "out/sub").c_str(), 0755), 0);
    int fd = open((dir / "out").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(bd::writeFileAtomicallyAt(fd, "ok.txt", "new", 3));
    EXPECT_TRUE(bd::writeFileAtomicallyAt(fd, "empty", nullptr, 0));
    errno = 0;
    EXPECT_FALSE(bd::writeFileAtomicallyAt(fd, "sub", "x", 1));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(bd::writeFileAtomicallyAt(fd, "../escape", "x", 1));
    close(fd);
    EXPECT_EQ(bdtest::readFile(victim), "v");
    struct stat st;
    ASSERT_EQ(lstat((dir / "out/ok.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(bdtest::readFile(dir / "out/ok.txt"), "new");
    EXPECT_EQ(names(dir / "out"), (std::vector<std::string>{"empty", "ok.txt", "sub"}));
}

}  // namespace
