#pragma once
// SoundPlay: plays one short sound effect (a WAV file at a fixed path) through the system-sound
// service, behind an on/off switch. Holds no locks and starts no threads: calls on one player
// must not overlap, but may come from any thread (the sound service itself is thread-safe).

#include <cstdint>
#include "Foundation/Export.h"

#include "Foundation/NSObject.h"

class BD_EXPORT SoundPlay : public NSObject {
  public:
    // The sound file that initSound registers.
    static constexpr const char* kSoundFilePath =
        "/Library/Application Support/Skyloom/res/Frog/splash1.wav";

    // -init [any-thread] a player switched off, with no sound registered.
    [[nodiscard]] SoundPlay* init() override;
    // -initSound [any-thread] Registers the sound file (its status is not looked at: a missing
    // file leaves soundID as it was), switches the player on and sets the volume to 1.0.
    virtual void initSound();
    // -setSoundSwitch: [any-thread]
    virtual void setSoundSwitch(bool isOn);
    // -setUIVolume: [any-thread] Stored only; playing does not use it.
    virtual void setUIVolume(float uiVolume);
    // -playSysSound: [any-thread] Plays the identifier given (not the stored one) when switched on.
    virtual void playSysSound(uint32_t soundId);
    // -stopAllMusic [any-thread] Does nothing: a playing sound plays to its end.
    virtual void stopAllMusic();

    // Property accessors [any-thread]
    virtual float volume() { return _volume; }
    virtual void setVolume(float volume) { _volume = volume; }
    virtual bool is_turnON() { return _is_turnON; }
    virtual void setIs_turnON(bool is_turnON) { _is_turnON = is_turnON; }
    virtual uint32_t soundID() { return _soundID; }
    virtual void setSoundID(uint32_t soundID) { _soundID = soundID; }

  protected:
    // Gives a registered sound back to the service, then the base teardown.
    void dealloc() override;

    float _volume = 0.0f;
    bool _is_turnON = false;
    uint32_t _soundID = 0;
};
