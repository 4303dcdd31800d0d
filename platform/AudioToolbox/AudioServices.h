#pragma once
// System Sound Services: short sound effects registered from WAV files and played by
// identifier, mixed together over SDL2 audio.
//
// A sound is decoded and converted to the mixer's format once, when it is registered. The audio
// device opens on the first play (SDL_InitSubSystem(SDL_INIT_AUDIO) + SDL_OpenAudioDevice with a
// callback mixer). Where no device can be opened, a silent backend takes its place: a thread
// that consumes the playing sounds in real time, so that every sound still "plays" for its own
// duration; one log line says so. All functions are thread-safe.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include "Foundation/Export.h"

class NSURL;

typedef uint32_t SystemSoundID;
typedef int32_t OSStatus;

enum : OSStatus {
    kAudioServicesNoError = 0,
    kAudioServicesBadParamError = -50,                  // null URL or null identifier pointer
    kAudioServicesFileNotFoundError = -43,              // the file can't be opened or read
    kAudioServicesSystemSoundUnspecifiedError = -1500,  // unknown identifier
    kAudioServicesSystemSoundExceededMaximumDurationError = -1502,  // longer than 30 seconds
    kAudioServicesInvalidFileError = -1510,                         // not a well-formed WAV file
    kAudioServicesUnsupportedFormatError = -1511,                   // a WAV encoding we do not play
};

// [any-thread] Reads the WAV file at inFileURL and registers it as a new sound. On success
// writes the new identifier (never 0, never reused) to *outSystemSoundID and returns
// kAudioServicesNoError; otherwise returns a non-zero status and leaves *outSystemSoundID as it
// was.
BD_EXPORT OSStatus AudioServicesCreateSystemSoundID(NSURL* inFileURL,
                                                    SystemSoundID* outSystemSoundID);

// [any-thread] Starts the sound and returns at once; it plays to its end by itself. Overlapping
// plays (of the same sound or others) mix. An unknown identifier plays nothing.
BD_EXPORT void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID);

// [any-thread] Unregisters the sound. Plays already started finish. Unknown identifier:
// kAudioServicesSystemSoundUnspecifiedError.
BD_EXPORT OSStatus AudioServicesDisposeSystemSoundID(SystemSoundID inSystemSoundID);

namespace bd::audio {

// [any-thread] Registers the WAV file at a path (what AudioServicesCreateSystemSoundID does
// after taking the path out of the URL).
BD_EXPORT OSStatus createSystemSoundFromFile(const char* path, SystemSoundID* outSystemSoundID);

// [any-thread] Called on the playing thread for every play that starts a sound, with its length
// in mixer frames (kMixRate per second). Null turns it off.
BD_EXPORT void setRecorder(std::function<void(SystemSoundID, size_t frames)> recorder);
// [any-thread] Called on every AudioServicesDisposeSystemSoundID, known identifier or not.
BD_EXPORT void setDisposeRecorder(std::function<void(SystemSoundID)> recorder);

// [any-thread] Sounds now playing (started and not yet at their end).
BD_EXPORT size_t activeVoices();
// [any-thread] Sounds registered and not yet disposed.
BD_EXPORT size_t soundCount();
// [any-thread] Frames of sound data the mixer has consumed so far, over all plays.
BD_EXPORT uint64_t framesPlayed();
// [any-thread] Waits until no sound is playing; false on timeout.
BD_EXPORT bool waitUntilIdle(double timeoutSeconds);

// [any-thread] "" before the first play, "silent" for the silent backend, otherwise
// "sdl:<driver>" (e.g. "sdl:pulseaudio", "sdl:disk").
BD_EXPORT std::string backendName();
// [any-thread] Stops every playing sound and closes the device (or the silent backend); the
// next play opens one again, reading SDL's environment afresh. Registered sounds stay.
BD_EXPORT void closeBackend();

// Most sounds that play at once; a play beyond that replaces the oldest playing sound.
constexpr size_t kMaxVoices = 64;

}  // namespace bd::audio
