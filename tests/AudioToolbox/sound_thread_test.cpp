// System sounds: WAV decoding and its bounds checks, registration, mixing over SDL's dummy and
// disk drivers, the silent fallback, and concurrent use from several threads.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "AudioToolbox/AudioServices.h"
#include "AudioToolbox/WAVDecoder.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"
#include "support/files.h"
#include "support/wav_fixture.h"

using namespace bd::audio;

namespace {

void useDriver(const char* driver) {
    closeBackend();
    setenv("SDL_AUDIODRIVER", driver, 1);
}

SystemSoundID registerWAV(const std::vector<uint8_t>& wav) {
    std::string path = bdtest::writeTempFile(wav);
    SystemSoundID id = 0;
    EXPECT_EQ(createSystemSoundFromFile(path.c_str(), &id), kAudioServicesNoError);
    std::remove(path.c_str());
    return id;
}

}  // namespace

TEST(WAVDecoder, DecodesEveryEncodingToTheSameTone) {
    struct Case {
        int bits, tag;
    } cases[] = {{8, 1}, {16, 1}, {24, 1}, {32, 1}, {32, 3}};
    for (auto c : cases) {
        for (int channels : {1, 2}) {
            auto wav = bdtest::makeWAV(8000, channels, c.bits, c.tag, 0.01, 0.5, 1000);
            WAVSamples s;
            ASSERT_EQ(decodeWAV(wav.data(), wav.size(), s), WAVError::none)
                << c.bits << "/" << c.tag;
            EXPECT_EQ(s.frames, 80u);
            EXPECT_EQ(s.channels, channels);
            EXPECT_EQ(s.sampleRate, 8000);
            // 1 kHz at 8 kHz: frame 2 is the crest of the sine.
            EXPECT_NEAR(s.samples[2 * channels], 0.5, 0.01) << c.bits;
            EXPECT_NEAR(s.samples[6 * channels], -0.5, 0.01) << c.bits;
        }
    }
}

TEST(WAVDecoder, ConvertsToStereoAtTheMixRate) {
    for (int rate : {8000, 22050, 48000, 96000}) {
        auto wav = bdtest::makeWAV(rate, 1, 16, 1, 0.1, 0.5, 200);
        WAVSamples s;
        ASSERT_EQ(decodeWAV(wav.data(), wav.size(), s), WAVError::none);
        auto out = convertToMixFormat(s);
        ASSERT_NEAR(double(out.size()) / kMixChannels, 0.1 * kMixRate, 2) << rate;
        float peak = 0;
        for (size_t i = 0; i + 1 < out.size(); i += 2) {
            EXPECT_EQ(out[i], out[i + 1]);  // mono goes to both sides
            peak = std::max(peak, std::fabs(out[i]));
        }
        EXPECT_NEAR(peak, 0.5, 0.02) << rate;
    }
}

TEST(WAVDecoder, RejectsMalformedFiles) {
    auto good = bdtest::makeWAV(8000, 1, 16, 1, 0.01);
    WAVSamples s;
    auto decode = [&](std::vector<uint8_t> w) { return decodeWAV(w.data(), w.size(), s); };
    auto setLE32 = [](std::vector<uint8_t>& w, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) w[at + i] = uint8_t(v >> (8 * i));
    };

    EXPECT_EQ(decodeWAV(nullptr, 0, s), WAVError::notRIFF);
    EXPECT_EQ(decode({'R', 'I', 'F', 'F'}), WAVError::notRIFF);
    auto w = good;
    w[8] = 'X';
    EXPECT_EQ(decode(w), WAVError::notRIFF);
    // Every truncation of the file is refused, none reads past the end.
    for (size_t n = 0; n < good.size(); n += 3)
        EXPECT_NE(decode(std::vector<uint8_t>(good.begin(), good.begin() + n)), WAVError::none)
            << n;
    // Huge sizes: RIFF, fmt and data chunks claiming far more than is there.
    w = good;
    setLE32(w, 4, 0xFFFFFFFFu);
    EXPECT_EQ(decode(w), WAVError::truncated);
    w = good;
    setLE32(w, 16, 0xFFFFFFF0u);
    EXPECT_EQ(decode(w), WAVError::truncated);
    w = good;
    setLE32(w, 40, 0x7FFFFFFFu);
    EXPECT_EQ(decode(w), WAVError::truncated);
    // A short fmt chunk, unsupported encodings, zero rate, three channels, wrong block size.
    w = good;
    setLE32(w, 16, 8);
    EXPECT_NE(decode(w), WAVError::none);
    w = good;
    w[20] = 2;  // ADPCM
    EXPECT_EQ(decode(w), WAVError::unsupported);
    w = good;
    setLE32(w, 24, 0);
    EXPECT_EQ(decode(w), WAVError::unsupported);
    w = good;
    w[22] = 3;
    EXPECT_EQ(decode(w), WAVError::unsupported);
    w = good;
    w[32] = 7;
    EXPECT_EQ(decode(w), WAVError::unsupported);
    w = good;
    w[34] = 12;
    EXPECT_EQ(decode(w), WAVError::unsupported);
    w = good;
    std::memcpy(&w[36], "junk", 4);
    EXPECT_EQ(decode(w), WAVError::missingData);
    // Longer than the system-sound limit.
    auto longOne = bdtest::makeWAV(1000, 1, 8, 1, 31);
    EXPECT_EQ(decode(longOne), WAVError::tooLong);
}

TEST(AudioServices, CreateFailuresLeaveTheIdentifierAlone) {
    NSAutoreleasePool pool;
    SystemSoundID id = 77;
    EXPECT_NE(AudioServicesCreateSystemSoundID(
                  NSURL::fileURLWithPath(NSSTR("/nonexistent/dir/splash1.wav")), &id),
              0);
    EXPECT_EQ(id, 77u);
    EXPECT_NE(AudioServicesCreateSystemSoundID(nullptr, &id), 0);
    std::string bad =
        bdtest::writeTempFile({'R', 'I', 'F', 'F', 0xff, 0xff, 0xff, 0x7f, 'W', 'A', 'V', 'E'});
    EXPECT_EQ(createSystemSoundFromFile(bad.c_str(), &id), kAudioServicesInvalidFileError);
    EXPECT_EQ(createSystemSoundFromFile("/tmp", &id),
              kAudioServicesFileNotFoundError);  // a directory
    std::remove(bad.c_str());
    EXPECT_EQ(id, 77u);
    EXPECT_NE(AudioServicesDisposeSystemSoundID(123456), 0);
}

TEST(AudioServices, PlaysMixesAndDisposes) {
    useDriver("dummy");
    std::mutex m;
    std::vector<std::pair<SystemSoundID, size_t>> plays;
    setRecorder([&](SystemSoundID id, size_t frames) {
        std::lock_guard l(m);
        plays.emplace_back(id, frames);
    });
    SystemSoundID a = registerWAV(bdtest::makeWAV(24000, 1, 16, 1, 0.1));
    SystemSoundID b = registerWAV(bdtest::makeWAV(48000, 2, 32, 3, 0.05));
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, a);
    size_t sounds = soundCount();

    AudioServicesPlaySystemSound(999999);  // unknown: nothing
    EXPECT_EQ(activeVoices(), 0u);
    uint64_t before = framesPlayed();
    AudioServicesPlaySystemSound(a);
    AudioServicesPlaySystemSound(a);
    AudioServicesPlaySystemSound(b);
    EXPECT_EQ(backendName(), "sdl:dummy");
    EXPECT_GE(activeVoices(), 2u);  // overlapping plays are voices of their own
    ASSERT_TRUE(waitUntilIdle(5.0));
    EXPECT_EQ(framesPlayed() - before, 4800u + 4800u + 2400u);  // every play ran to its end
    {
        std::lock_guard l(m);
        ASSERT_EQ(plays.size(), 3u);
        EXPECT_EQ(plays[0], std::make_pair(a, size_t(4800)));
        EXPECT_EQ(plays[2], std::make_pair(b, size_t(2400)));
    }
    // Disposing while a play is running lets it finish; later plays of it play nothing.
    AudioServicesPlaySystemSound(a);
    EXPECT_EQ(AudioServicesDisposeSystemSoundID(a), kAudioServicesNoError);
    EXPECT_EQ(soundCount(), sounds - 1);
    ASSERT_TRUE(waitUntilIdle(5.0));
    AudioServicesPlaySystemSound(a);
    EXPECT_EQ(activeVoices(), 0u);
    EXPECT_NE(AudioServicesDisposeSystemSoundID(a), 0);
    AudioServicesDisposeSystemSoundID(b);
    setRecorder(nullptr);
}

TEST(AudioServices, DiskDriverReceivesTheSound) {
    bdtest::TempDir tmp("sound-disk");
    std::string out = tmp / "out.raw";
    setenv("SDL_DISKAUDIOFILE", out.c_str(), 1);
    useDriver("disk");
    SystemSoundID id = registerWAV(bdtest::makeWAV(22050, 1, 16, 1, 0.2, 0.6));
    AudioServicesPlaySystemSound(id);
    ASSERT_EQ(backendName(), "sdl:disk");
    ASSERT_TRUE(waitUntilIdle(5.0));
    closeBackend();  // flushes and closes the output file
    std::ifstream f(out, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    ASSERT_GE(raw.size(), size_t(0.2 * kMixRate) * kMixChannels * sizeof(float));
    float peak = 0;
    for (size_t i = 0; i + 4 <= raw.size(); i += 4) {
        float v;
        std::memcpy(&v, &raw[i], 4);
        peak = std::max(peak, std::fabs(v));
    }
    EXPECT_NEAR(peak, 0.6, 0.02);
    AudioServicesDisposeSystemSoundID(id);
}

TEST(AudioServices, SilentFallbackPlaysInRealTime) {
    std::mutex m;
    std::vector<std::string> lines;
    bd::setLogCapture([&](const std::string& s) {
        std::lock_guard l(m);
        lines.push_back(s);
    });
    useDriver("no-such-driver");
    SystemSoundID id = registerWAV(bdtest::makeWAV(48000, 1, 16, 1, 0.3));
    uint64_t before = framesPlayed();
    auto start = std::chrono::steady_clock::now();
    AudioServicesPlaySystemSound(id);
    AudioServicesPlaySystemSound(id);
    EXPECT_EQ(backendName(), "silent");
    EXPECT_EQ(activeVoices(), 2u);
    ASSERT_TRUE(waitUntilIdle(5.0));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 0.25);  // consumed at the real-time rate, not at once
    EXPECT_EQ(framesPlayed() - before, 2u * 14400u);
    AudioServicesPlaySystemSound(id);  // a second play does not log again
    bd::setLogCapture(nullptr);
    {
        std::lock_guard l(m);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("play silently"), std::string::npos) << lines[0];
    }
    closeBackend();  // stops a sound mid-way and the thread
    EXPECT_EQ(activeVoices(), 0u);
    AudioServicesDisposeSystemSoundID(id);
}

TEST(AudioServices, ConcurrentCreatePlayDispose) {
    useDriver("dummy");
    auto wav = bdtest::makeWAV(8000, 1, 8, 1, 0.02);
    std::string path = bdtest::writeTempFile(wav);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                SystemSoundID id = 0;
                if (createSystemSoundFromFile(path.c_str(), &id) != 0) ++failures;
                AudioServicesPlaySystemSound(id);
                activeVoices();
                if (AudioServicesDisposeSystemSoundID(id) != 0) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    std::remove(path.c_str());
    EXPECT_EQ(failures.load(), 0);
    EXPECT_LE(activeVoices(), kMaxVoices);
    EXPECT_TRUE(waitUntilIdle(5.0));
    closeBackend();
}
