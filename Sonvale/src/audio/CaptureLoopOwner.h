// The one call the capture loop makes back into whoever owns it (the main
// window): the end of capture on a microphone.
#pragma once

#include <QString>

namespace sonvale {

class CaptureLoopOwner {
public:
    virtual ~CaptureLoopOwner() = default;

    // Capture on microphone `name` has ended: its input failed, the device
    // disappeared, or a stop requested with PcmCaptureLoop::requestStop() was
    // carried out. `state` is 8 (the endpoint code for an unplugged device).
    //
    // Called on the thread the capture loop object belongs to (the GUI thread),
    // after the loop has released the audio input, so the owner may call
    // closeCapture() or startCapture() on the loop from inside this call.
    virtual void NotifyRemoveMicroppone(int state, const QString& name) = 0;
};

}  // namespace sonvale
