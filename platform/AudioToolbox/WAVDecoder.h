#pragma once
// RIFF/WAVE reading for the system-sound service: parses a WAV file held in memory, with every
// chunk size checked against the bytes that are really there, and converts its samples once to
// the mixer's format (32-bit float, interleaved stereo, kMixRate frames per second).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bd::audio {

constexpr int kMixRate = 48000;
constexpr int kMixChannels = 2;
// Longest sound accepted (seconds), as system sounds are short effects.
constexpr double kMaxSoundSeconds = 30.0;
// Largest file read at all; anything bigger is refused before it is read.
constexpr size_t kMaxWAVFileBytes = size_t(64) * 1024 * 1024;

enum class WAVError {
    none = 0,
    notRIFF,        // no "RIFF"/"WAVE" header
    truncated,      // a chunk claims more bytes than the file holds
    missingFormat,  // no usable "fmt " chunk
    missingData,    // no "data" chunk
    unsupported,    // encoding, bit depth, channel count or rate we do not play
    tooLong,        // longer than kMaxSoundSeconds
};

// Samples as read from the file, before conversion: interleaved floats in [-1, 1].
struct WAVSamples {
    int sampleRate = 0;
    int channels = 0;
    size_t frames = 0;
    std::vector<float> samples;  // frames * channels
};

// [any-thread] Parses a WAV image: PCM 8 (unsigned), 16, 24, 32-bit integer or 32-bit float,
// plain or WAVE_FORMAT_EXTENSIBLE, mono or stereo, 1000..192000 Hz.
WAVError decodeWAV(const uint8_t* bytes, size_t length, WAVSamples& out);

// [any-thread] Converts decoded samples to interleaved stereo float at kMixRate (mono is
// duplicated to both sides; other rates are resampled: linear interpolation when going up,
// averaging over each output period when going down).
std::vector<float> convertToMixFormat(const WAVSamples& in);

// [any-thread] Human-readable name of an error, for log lines.
const char* wavErrorName(WAVError e);

}  // namespace bd::audio
