// Notices that an open audio device has gone away.
//
// Qt 5 does not always report it: when a PulseAudio source disappears, the
// server moves the recording to another source and Qt's input keeps
// delivering audio from there. The capture loop therefore watches its
// microphone itself.
#pragma once

#include <QString>
#include <functional>
#include <memory>

namespace sonvale {

class DeviceWatch {
public:
    virtual ~DeviceWatch() = default;

    // Watches the capture device `name`. `gone` is called at most once, on a
    // thread of the watch, when the device is removed, is not present when the
    // watch starts, or the connection to the audio server is lost; it must
    // only post work elsewhere. No call is made once the watch is destroyed.
    // Returns null where the platform needs no watch (Qt's input reports the
    // failure itself) or the watch cannot be set up.
    static std::unique_ptr<DeviceWatch> forCaptureDevice(const QString& name,
                                                         std::function<void()> gone);

    // Waits, at most `timeoutMs`, until the watch has learnt whether the device
    // is there. False when it is not (`gone` has then been called); true when
    // it is, or when the answer did not come in time.
    virtual bool waitUntilKnown(int timeoutMs) = 0;
};

}  // namespace sonvale
