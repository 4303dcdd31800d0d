#include "Common/SoundPlay.h"

#include "AudioToolbox/AudioServices.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"

SoundPlay* SoundPlay::init() {
    return static_cast<SoundPlay*>(NSObject::init());
}

void SoundPlay::initSound() {
    NSAutoreleasePool pool;
    NSURL* url = NSURL::fileURLWithPath(NSString::stringWithUTF8String(kSoundFilePath));
    // The status is not looked at: on failure the identifier stays what it was. A second
    // initSound that registers the file again gives the earlier identifier back first, so it
    // is not lost.
    SystemSoundID fresh = _soundID;
    AudioServicesCreateSystemSoundID(url, &fresh);
    if (fresh != _soundID && _soundID != 0) AudioServicesDisposeSystemSoundID(_soundID);
    _soundID = fresh;
    _is_turnON = true;
    setUIVolume(1.0f);
}

void SoundPlay::setSoundSwitch(bool isOn) {
    setIs_turnON(isOn);
}

void SoundPlay::setUIVolume(float uiVolume) {
    setVolume(uiVolume);
}

void SoundPlay::playSysSound(uint32_t soundId) {
    if (is_turnON()) AudioServicesPlaySystemSound(soundId);
}

void SoundPlay::stopAllMusic() {}

void SoundPlay::dealloc() {
    if (_soundID != 0) {
        AudioServicesDisposeSystemSoundID(_soundID);
        _soundID = 0;
    }
    NSObject::dealloc();
}
