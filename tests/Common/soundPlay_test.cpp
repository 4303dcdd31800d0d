// SoundPlay: the switch, the stored volume, registration of the fixed (absent) file, teardown.

#include "Common/SoundPlay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>

#include "AudioToolbox/AudioServices.h"
#include "AudioToolbox/WAVDecoder.h"
#include "support/wav_fixture.h"

namespace {

const bool kDummyDriver = (setenv("SDL_AUDIODRIVER", "dummy", 1), true);

struct PlayLog {
    std::mutex m;
    std::vector<SystemSoundID> ids;
    PlayLog() {
        bd::audio::setRecorder([this](SystemSoundID id, size_t) {
            std::lock_guard l(m);
            ids.push_back(id);
        });
    }
    ~PlayLog() { bd::audio::setRecorder(nullptr); }
    size_t count() {
        std::lock_guard l(m);
        return ids.size();
    }
};

SystemSoundID registerTone(double seconds) {
    std::string path = bdtest::writeTempFile(bdtest::makeWAV(16000, 1, 16, 1, seconds));
    SystemSoundID id = 0;
    EXPECT_EQ(bd::audio::createSystemSoundFromFile(path.c_str(), &id), 0);
    std::remove(path.c_str());
    return id;
}

}  // namespace

TEST(SoundPlay, NewPlayerIsAllZeroAndPlaysNothing) {
    ASSERT_TRUE(kDummyDriver);
    PlayLog log;
    SystemSoundID id = registerTone(0.02);
    Ref<SoundPlay> p = adopt(alloc<SoundPlay>());
    EXPECT_EQ(p->volume(), 0.0f);
    EXPECT_FALSE(p->is_turnON());
    EXPECT_EQ(p->soundID(), 0u);
    p->playSysSound(id);  // never initialised: switch off
    EXPECT_EQ(log.count(), 0u);
    AudioServicesDisposeSystemSoundID(id);
}

TEST(SoundPlay, SwitchGatesPlayingTheGivenIdentifier) {
    PlayLog log;
    SystemSoundID id = registerTone(0.02);
    Ref<SoundPlay> p = adopt(alloc<SoundPlay>());
    p->setSoundSwitch(true);
    p->playSysSound(id);  // the given identifier, not the stored one (0)
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.ids[0], id);
    p->setSoundSwitch(false);
    p->playSysSound(id);
    EXPECT_EQ(log.count(), 1u);
    p->setSoundSwitch(true);
    p->setUIVolume(0.3f);  // stored only: playing unchanged
    EXPECT_FLOAT_EQ(p->volume(), 0.3f);
    p->playSysSound(id);
    EXPECT_EQ(log.count(), 2u);
    bd::audio::waitUntilIdle(5.0);
    AudioServicesDisposeSystemSoundID(id);
}

TEST(SoundPlay, InitSoundWithoutTheFileStillSwitchesOn) {
    size_t before = bd::audio::soundCount();
    Ref<SoundPlay> p = adopt(alloc<SoundPlay>());
    p->initSound();
    EXPECT_TRUE(p->is_turnON());
    EXPECT_EQ(p->volume(), 1.0f);
    EXPECT_EQ(p->soundID(), 0u);
    EXPECT_EQ(bd::audio::soundCount(), before);
    PlayLog log;
    p->playSysSound(p->soundID());  // unknown identifier: nothing
    EXPECT_EQ(log.count(), 0u);
}

TEST(SoundPlay, FailedInitSoundKeepsARegisteredIdentifier) {
    SystemSoundID id = registerTone(0.02);
    std::vector<SystemSoundID> disposed;
    bd::audio::setDisposeRecorder([&](SystemSoundID d) { disposed.push_back(d); });
    Ref<SoundPlay> p = adopt(alloc<SoundPlay>());
    p->setSoundID(id);
    p->initSound();  // the fixed file is absent: the identifier stays and is not given back
    EXPECT_EQ(p->soundID(), id);
    EXPECT_TRUE(disposed.empty());
    p = nullptr;  // teardown gives it back
    bd::audio::setDisposeRecorder(nullptr);
    ASSERT_EQ(disposed.size(), 1u);
    EXPECT_EQ(disposed[0], id);
}

TEST(SoundPlay, TeardownDisposesOnlyARegisteredSound) {
    std::vector<SystemSoundID> disposed;
    bd::audio::setDisposeRecorder([&](SystemSoundID id) { disposed.push_back(id); });
    alloc<SoundPlay>()->release();  // soundID 0: nothing given back
    EXPECT_TRUE(disposed.empty());

    SystemSoundID id = registerTone(0.02);
    size_t before = bd::audio::soundCount();
    SoundPlay* p = alloc<SoundPlay>();
    p->setSoundID(id);
    p->release();
    bd::audio::setDisposeRecorder(nullptr);
    ASSERT_EQ(disposed.size(), 1u);
    EXPECT_EQ(disposed[0], id);
    EXPECT_EQ(bd::audio::soundCount(), before - 1);
}

TEST(SoundPlay, StopAllMusicLeavesAPlayingSoundAlone) {
    SystemSoundID id = registerTone(0.3);
    Ref<SoundPlay> p = adopt(alloc<SoundPlay>());
    p->setSoundSwitch(true);
    uint64_t before = bd::audio::framesPlayed();
    p->playSysSound(id);
    p->stopAllMusic();
    EXPECT_EQ(bd::audio::activeVoices(), 1u);
    ASSERT_TRUE(bd::audio::waitUntilIdle(5.0));
    EXPECT_EQ(bd::audio::framesPlayed() - before, size_t(0.3 * bd::audio::kMixRate));  // to its end
    AudioServicesDisposeSystemSoundID(id);
}
