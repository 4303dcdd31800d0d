#include "AudioToolbox/AudioServices.h"

#include <SDL.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "AudioToolbox/WAVDecoder.h"
#include "Foundation/FileIO.h"
#include "Foundation/NSLog.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"
#include "Foundation/ResourceNotes.h"

namespace bd::audio {

namespace {
// ALSA reports every failed probe with a line of its own on stderr (eight of them on a machine
// without a sound card), although SDL goes on to the next back-end and we say in one line what
// came of it. Its error handler is process-wide: the library is opened here (the same instance
// SDL opens by name later) and given a handler that drops the messages.
void quietALSAHandler(const char*, int, const char*, int, const char*, ...) {}

void quietALSA() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Kept open for the life of the process, as the handler lives in it.
        void* alsa = dlopen("libasound.so.2", RTLD_LAZY | RTLD_LOCAL);
        if (!alsa) return;
        using SetHandler = int (*)(void (*)(const char*, int, const char*, int, const char*, ...));
        if (auto set = reinterpret_cast<SetHandler>(dlsym(alsa, "snd_lib_error_set_handler")))
            set(quietALSAHandler);
    });
}
}  // namespace

namespace {

// A registered sound, already in the mixer's format. Shared with the voices playing it, so a
// sound disposed while playing finishes safely.
struct Sound {
    SystemSoundID id = 0;
    std::vector<float> samples;  // interleaved stereo at kMixRate
    size_t frames() const { return samples.size() / kMixChannels; }
};

struct Voice {
    std::shared_ptr<const Sound> sound;
    size_t position = 0;  // next frame to mix
};

enum class Backend { none, sdl, silent };

// Process-wide engine. Allocated once and never destroyed, so neither SDL's audio thread nor the
// silent thread can outlive it; an exit handler stops both.
class Engine {
  public:
    static Engine& shared() {
        static Engine* engine = new Engine();
        return *engine;
    }

    OSStatus create(const char* path, SystemSoundID* out) {
        if (!path || !out) return kAudioServicesBadParamError;
        std::vector<uint8_t> file;
        if (!readFile(path, file)) return kAudioServicesFileNotFoundError;
        WAVSamples decoded;
        WAVError e = decodeWAV(file.data(), file.size(), decoded);
        if (e == WAVError::tooLong) return kAudioServicesSystemSoundExceededMaximumDurationError;
        if (e == WAVError::unsupported) return kAudioServicesUnsupportedFormatError;
        if (e != WAVError::none) return kAudioServicesInvalidFileError;
        auto sound = std::make_shared<Sound>();
        sound->samples = convertToMixFormat(decoded);
        std::lock_guard lock(_mutex);
        sound->id = _nextID++;
        _sounds[sound->id] = sound;
        *out = sound->id;
        return kAudioServicesNoError;
    }

    void play(SystemSoundID id) {
        {
            std::lock_guard lock(_mutex);
            if (!_sounds.count(id)) return;  // unknown: plays nothing, opens nothing
        }
        openBackend();
        std::function<void(SystemSoundID, size_t)> recorder;
        size_t frames = 0;
        {
            std::lock_guard lock(_mutex);
            auto it = _sounds.find(id);
            if (it == _sounds.end()) return;  // disposed meanwhile
            if (_voices.size() >= kMaxVoices) _voices.pop_front();
            _voices.push_back(Voice{it->second, 0});
            frames = it->second->frames();
            recorder = _recorder;
        }
        _wake.notify_all();
        if (recorder) recorder(id, frames);
    }

    OSStatus dispose(SystemSoundID id) {
        std::function<void(SystemSoundID)> recorder;
        bool known;
        {
            std::lock_guard lock(_mutex);
            known = _sounds.erase(id) > 0;
            recorder = _disposeRecorder;
        }
        if (recorder) recorder(id);
        return known ? kAudioServicesNoError : kAudioServicesSystemSoundUnspecifiedError;
    }

    void setRecorder(std::function<void(SystemSoundID, size_t)> r) {
        std::lock_guard lock(_mutex);
        _recorder = std::move(r);
    }
    void setDisposeRecorder(std::function<void(SystemSoundID)> r) {
        std::lock_guard lock(_mutex);
        _disposeRecorder = std::move(r);
    }
    size_t activeVoices() {
        std::lock_guard lock(_mutex);
        return _voices.size();
    }
    size_t soundCount() {
        std::lock_guard lock(_mutex);
        return _sounds.size();
    }
    uint64_t framesPlayed() {
        std::lock_guard lock(_mutex);
        return _framesPlayed;
    }
    bool waitUntilIdle(double timeoutSeconds) {
        std::unique_lock lock(_mutex);
        auto ms = std::chrono::milliseconds(int64_t(std::max(0.0, timeoutSeconds) * 1000));
        return _idle.wait_for(lock, ms, [&] { return _voices.empty(); });
    }
    std::string backendName() {
        std::lock_guard lock(_backendMutex);
        return _backendName;
    }

    void closeBackend() {
        std::lock_guard lock(_backendMutex);
        if (_backend == Backend::sdl) {
            // Waits for the audio thread to leave the callback; _mutex is not held here.
            onSDLThread([&] {
                SDL_CloseAudioDevice(_device);
                SDL_QuitSubSystem(SDL_INIT_AUDIO);
            });
            _device = 0;
        } else if (_backend == Backend::silent) {
            {
                std::lock_guard l(_mutex);
                _stopSilent = true;
            }
            _wake.notify_all();
            _silentThread.join();
            _stopSilent = false;
        }
        _backend = Backend::none;
        _backendName.clear();
        std::lock_guard l(_mutex);
        _voices.clear();
        _idle.notify_all();
    }

  private:
    Engine() = default;

    static bool readFile(const char* path, std::vector<uint8_t>& out) {
        return bd::readRegularFile(path, out, kMaxWAVFileBytes);  // a FIFO must not block
    }

    void openBackend() {
        std::lock_guard lock(_backendMutex);
        if (_backend != Backend::none) return;
        static std::once_flag exitHook;
        std::call_once(exitHook, [] { std::atexit([] { Engine::shared().closeBackend(); }); });

        std::string why;
        onSDLThread([&] { openDevice(why); });
        if (_backend == Backend::sdl) return;
        _backend = Backend::silent;
        _backendName = "silent";
        _silentThread = std::thread([this] { runSilent(); });
        NSLog("AudioServices: no audio device could be opened (%s); sounds play silently",
              why.empty() ? "unknown error" : why.c_str());
    }

    // Opens the SDL device; on failure leaves _backend alone and says why.
    bool openDevice(std::string& why) {
        quietALSA();
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) == 0) {
            SDL_AudioSpec want{};
            SDL_AudioSpec have{};
            want.freq = kMixRate;
            want.format = AUDIO_F32SYS;
            want.channels = kMixChannels;
            want.samples = 1024;
            want.callback = &Engine::sdlCallback;
            want.userdata = this;
            // No allowed changes: SDL converts to the hardware's format itself, so our mix
            // format is the device format.
            _device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
            if (_device != 0) {
                _backend = Backend::sdl;
                const char* driver = SDL_GetCurrentAudioDriver();
                _backendName = std::string("sdl:") + (driver ? driver : "?");
                SDL_PauseAudioDevice(_device, 0);
                return true;
            }
            why = SDL_GetError();
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        } else {
            why = SDL_GetError();
        }
        return false;
    }

    // Runs fn on the engine's own SDL thread and waits for it. SDL keeps per-thread state
    // (its error buffer) for every thread that calls it; doing all of our SDL calls on one
    // thread that lives as long as the process keeps that state from piling up as threads come
    // and go.
    void onSDLThread(const std::function<void()>& fn) {
        std::unique_lock lock(_sdlMutex);
        if (!_sdlThreadStarted) {
            _sdlThreadStarted = true;
            std::thread([this] { runSDLThread(); }).detach();
        }
        _sdlTask = &fn;
        _sdlWake.notify_all();
        _sdlWake.wait(lock, [&] { return _sdlTask == nullptr; });
    }
    void runSDLThread() {
        std::unique_lock lock(_sdlMutex);
        for (;;) {
            _sdlWake.wait(lock, [&] { return _sdlTask != nullptr; });
            (*_sdlTask)();
            _sdlTask = nullptr;
            _sdlWake.notify_all();
        }
    }

    static void sdlCallback(void* userdata, Uint8* stream, int len) {
        auto* self = static_cast<Engine*>(userdata);
        std::lock_guard lock(self->_mutex);
        self->mixLocked(reinterpret_cast<float*>(stream),
                        size_t(len) / (sizeof(float) * kMixChannels));
    }

    // Mixes every voice into out (frames stereo frames), drops the voices that reached their end.
    void mixLocked(float* out, size_t frames) {
        std::fill(out, out + frames * kMixChannels, 0.0f);
        for (auto it = _voices.begin(); it != _voices.end();) {
            const Sound& s = *it->sound;
            size_t n = std::min(frames, s.frames() - it->position);
            const float* src = s.samples.data() + it->position * kMixChannels;
            for (size_t i = 0; i < n * kMixChannels; ++i) out[i] += src[i];
            it->position += n;
            _framesPlayed += n;
            it = it->position >= s.frames() ? _voices.erase(it) : std::next(it);
        }
        for (size_t i = 0; i < frames * kMixChannels; ++i) out[i] = std::clamp(out[i], -1.0f, 1.0f);
        if (_voices.empty()) _idle.notify_all();
    }

    // The silent backend: consumes the playing voices at the real-time rate, 10 ms at a time.
    void runSilent() {
        using clock = std::chrono::steady_clock;
        std::vector<float> scratch;
        std::unique_lock lock(_mutex);
        while (!_stopSilent) {
            if (_voices.empty()) {
                _wake.wait(lock, [&] { return _stopSilent || !_voices.empty(); });
                continue;
            }
            auto last = clock::now();
            double owed = 0;  // fractional frames carried between steps
            while (!_stopSilent && !_voices.empty()) {
                _wake.wait_for(lock, std::chrono::milliseconds(10), [&] { return _stopSilent; });
                auto now = clock::now();
                owed += std::chrono::duration<double>(now - last).count() * kMixRate;
                last = now;
                size_t frames = size_t(owed);
                owed -= double(frames);
                scratch.resize(frames * kMixChannels);
                if (frames) mixLocked(scratch.data(), frames);
            }
        }
    }

    std::mutex _mutex;  // sounds, voices, recorders, counters; taken by the mixer
    std::condition_variable _wake;
    std::condition_variable _idle;
    std::unordered_map<SystemSoundID, std::shared_ptr<const Sound>> _sounds;
    std::deque<Voice> _voices;
    std::function<void(SystemSoundID, size_t)> _recorder;
    std::function<void(SystemSoundID)> _disposeRecorder;
    SystemSoundID _nextID = 4097;
    uint64_t _framesPlayed = 0;
    bool _stopSilent = false;

    std::mutex _backendMutex;  // opening and closing; never held by the mixer
    Backend _backend = Backend::none;
    std::string _backendName;
    SDL_AudioDeviceID _device = 0;
    std::thread _silentThread;

    std::mutex _sdlMutex;  // hands one task at a time to the SDL thread
    std::condition_variable _sdlWake;
    const std::function<void()>* _sdlTask = nullptr;
    bool _sdlThreadStarted = false;
};

}  // namespace

OSStatus createSystemSoundFromFile(const char* path, SystemSoundID* out) {
    OSStatus status = Engine::shared().create(path, out);
    if (status != kAudioServicesNoError && bd::resourceNotesWanted() && path) {
        const char* why = "not registered";
        switch (status) {
            case kAudioServicesFileNotFoundError:
                why = "cannot be read";
                break;
            case kAudioServicesSystemSoundExceededMaximumDurationError:
                why = "longer than 30 seconds";
                break;
            case kAudioServicesInvalidFileError:
                why = "not a well-formed WAV file";
                break;
            case kAudioServicesUnsupportedFormatError:
                why = "a WAV encoding that does not play";
                break;
            default:
                break;
        }
        std::string detail =
            status == kAudioServicesFileNotFoundError ? bd::missingFileDetail(path, why) : why;
        bd::noteResource({"AudioServicesCreateSystemSoundID", path, detail});
    }
    return status;
}
void setRecorder(std::function<void(SystemSoundID, size_t)> r) {
    Engine::shared().setRecorder(std::move(r));
}
void setDisposeRecorder(std::function<void(SystemSoundID)> r) {
    Engine::shared().setDisposeRecorder(std::move(r));
}
size_t activeVoices() {
    return Engine::shared().activeVoices();
}
size_t soundCount() {
    return Engine::shared().soundCount();
}
uint64_t framesPlayed() {
    return Engine::shared().framesPlayed();
}
bool waitUntilIdle(double t) {
    return Engine::shared().waitUntilIdle(t);
}
std::string backendName() {
    return Engine::shared().backendName();
}
void closeBackend() {
    Engine::shared().closeBackend();
}

}  // namespace bd::audio

OSStatus AudioServicesCreateSystemSoundID(NSURL* inFileURL, SystemSoundID* outSystemSoundID) {
    if (!inFileURL || !outSystemSoundID) return kAudioServicesBadParamError;
    NSString* path = inFileURL->path();
    if (!path) return kAudioServicesBadParamError;
    return bd::audio::createSystemSoundFromFile(path->UTF8String(), outSystemSoundID);
}

void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID) {
    bd::audio::Engine::shared().play(inSystemSoundID);
}

OSStatus AudioServicesDisposeSystemSoundID(SystemSoundID inSystemSoundID) {
    return bd::audio::Engine::shared().dispose(inSystemSoundID);
}
