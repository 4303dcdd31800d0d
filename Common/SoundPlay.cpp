#include "Common/SoundPlay.h"

#include "AudioToolbox/AudioServices.h"
#include "Foundation/NSString.h"
#include "Foundation/NSURL.h"

void SoundPlay::initSound() {
    NSAutoreleasePool pool;
    NSURL* url = NSURL::fileURLWithPath(NSString::stringWithUTF8String(kSoundFilePath));
    AudioServicesCreateSystemSoundID(url, &_soundID);  // status not looked at
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
