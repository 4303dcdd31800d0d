#pragma once
// Battery detection from the kernel's power-supply class (/sys/class/power_supply, or a folder
// laid out the same way for tests): each entry has a `type` file (Mains, USB, Battery, UPS, ...)
// and adapters an `online` file (1 or 0). The machine runs on battery when a battery is present
// and no adapter (Mains or USB) is online. A machine without a battery (a desktop, with or
// without power-supply entries) never does, so it never pauses for it.

#include <string>

namespace host::desktop {

// [any-thread] Reads dir afresh.
bool onBattery(const std::string& dir);

// Notices changes of the power supply without polling: inotify on the folder and its entries
// (which is what a test's folder reports), and the kernel's uevent broadcasts for the real
// sysfs folder, whose attribute files inotify does not follow. A slow re-read (timeoutMs) is the
// safety net for systems where neither reaches us.
class PowerWatch {
  public:
    // [main-thread]
    explicit PowerWatch(std::string dir);
    ~PowerWatch();
    PowerWatch(const PowerWatch&) = delete;
    PowerWatch& operator=(const PowerWatch&) = delete;

    // [main-thread] The descriptors to poll for POLLIN (-1 entries are unused).
    int inotifyFd() const { return _inotify; }
    int ueventFd() const { return _uevent; }
    // [main-thread] Milliseconds until the next safety re-read.
    int timeoutMs() const;
    // [main-thread] Drains what arrived and re-reads; true when the battery state changed.
    bool update();
    // [main-thread] The state as last read.
    bool battery() const { return _battery; }
    const std::string& dir() const { return _dir; }

  private:
    void watchEntries();
    std::string _dir;
    int _inotify = -1;
    int _uevent = -1;
    bool _battery = false;
    double _nextRead = 0;
};

}  // namespace host::desktop
