// EndpointDirectory: friendly name -> endpoint id for the active render and
// capture endpoints, plus the two system-wide endpoint operations the window
// uses (default switching, capture volume).
//
// Ownership: the main window holds one directory by value. The directory owns
// its backend.
//
// Threads: construction, Load and SetDefaultByName run on the GUI thread
// (on Windows they rely on its COM apartment). Classify and NoteStateChange
// are also called from the notification thread; the maps are guarded by a
// mutex, so every method may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Endpoint.h"

namespace sonvale {

// Classify results.
inline constexpr int kClassRender = 0;
inline constexpr int kClassCapture = 1;
inline constexpr int kClassNeither = 2;

class EndpointDirectory {
public:
    // Fills both maps from the OS backend, render first, then capture.
    EndpointDirectory();
    // Same with the given backend (tests use a fake one). A null backend
    // gives an empty directory whose operations do nothing.
    explicit EndpointDirectory(std::unique_ptr<EndpointBackend> backend);
    ~EndpointDirectory();
    EndpointDirectory(const EndpointDirectory&) = delete;
    EndpointDirectory& operator=(const EndpointDirectory&) = delete;

    // Rebuilds the map of one flow (0 render, otherwise capture) from the
    // active endpoints. Of endpoints sharing a friendly name, the first
    // enumerated keeps the name. Failures leave the map empty or partial.
    void Load(int flow);

    // Makes the endpoint with this friendly name the default of the flow
    // (0 render, otherwise capture). An empty or unknown name does nothing.
    void SetDefaultByName(const std::wstring& name, int flow);

    // kClassRender when the render map holds `name` with exactly `id`, else
    // kClassCapture when the capture map does, else kClassNeither.
    int Classify(const std::wstring& name, const std::wstring& id) const;

    // Keeps the maps current after start-up: an endpoint of a known flow
    // that becomes active is learnt (without displacing an entry of the same
    // name), one that stops being active is forgotten if the map holds it
    // under exactly this id. Called by the notification forwarder.
    void NoteStateChange(int flow, const std::wstring& name, const std::wstring& id, int state);

    // Snapshot of one map, ordered by name (diagnostics and tests).
    std::vector<EndpointInfo> Entries(int flow) const;

private:
    using Map = std::map<std::wstring, std::wstring>;
    Map& MapOf(int flow) { return flow == kRenderFlow ? render_ : capture_; }
    const Map& MapOf(int flow) const { return flow == kRenderFlow ? render_ : capture_; }

    std::unique_ptr<EndpointBackend> backend_;
    mutable std::mutex mutex_;  // guards the two maps
    Map render_;
    Map capture_;
};

// Makes the endpoint the default one of its flow (console role), through the
// OS backend. On Windows the calling thread must have COM initialised (the
// GUI thread has, from the directory). Returns the OS result.
EndpointResult SetDefaultEndpointById(const std::wstring& id);

// The virtual microphone's volume at start-up, in percent. Windows: 50, on
// the companion driver's own scale. Linux: 100, unity; PulseAudio's and
// PipeWire's scale is cubic, where 50 % would record the cleaned voice 18 dB
// below the real microphone.
#ifdef _WIN32
inline constexpr float kVirtualMicrophonePercent = 50.0f;
#else
inline constexpr float kVirtualMicrophonePercent = 100.0f;
#endif

// The active endpoints of one flow as the OS lists them now, with their
// descriptions (the directory's maps are not involved).
std::vector<EndpointInfo> ListActiveEndpoints(int flow);

// Sets mute and the master volume (percent 0..100; 50 gives 0.5) of every
// active capture endpoint whose friendly name contains nameFragment
// (case-sensitive). Percent values outside 0..100 are clamped; a NaN leaves
// the volume alone but still applies the mute. Returns the number of
// endpoints changed.
int SetCaptureEndpointVolume(bool mute, float percent, const std::wstring& nameFragment);

// The scalar volume SetCaptureEndpointVolume applies for `percent`, or a
// negative value when there is none (NaN).
float CaptureVolumeScalar(float percent);

}  // namespace sonvale
