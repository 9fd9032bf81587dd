// Audio endpoints: the vocabulary shared by the endpoint directory, the change
// notifications and the two OS backends (Windows Core Audio, PulseAudio).
//
// Nothing here uses Qt. Strings are wide strings, as on Windows; the Linux
// backend converts PulseAudio's UTF-8 names (see EndpointText.h).
//
// Threads: an EndpointBackend is used from one thread at a time (the GUI
// thread in the program). An EndpointWatcher calls its EndpointEventSink on a
// thread of its own, never on the thread that started it.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace sonvale {

// Data flow of an endpoint (Windows values).
inline constexpr int kRenderFlow = 0;   // playback: speakers, headsets (PulseAudio sinks)
inline constexpr int kCaptureFlow = 1;  // recording: microphones (non-monitor sources)
inline constexpr int kUnknownFlow = -1;

// Endpoint states carried by notifications (Windows values).
inline constexpr int kStateActive = 1;
inline constexpr int kStateDisabled = 2;
inline constexpr int kStateNotPresent = 4;
inline constexpr int kStateUnplugged = 8;

// Result codes in the HRESULT style of the Windows API: 0 is success,
// anything negative a failure. Callers may ignore them.
using EndpointResult = long;
inline constexpr EndpointResult kEndpointOk = 0;
inline constexpr EndpointResult kEndpointFail = static_cast<EndpointResult>(0x80004005L);

// One active endpoint as the OS enumerates it.
struct EndpointInfo {
    std::wstring name;  // friendly name (PulseAudio: the sink or source name)
    std::wstring id;    // endpoint id (PulseAudio: the name again)
    // What people read ("Built-in Audio Analog Stereo"); empty where the
    // friendly name is already that (Windows).
    std::wstring description = {};
};

// The OS operations the directory and the volume helper stand on.
class EndpointBackend {
public:
    virtual ~EndpointBackend() = default;
    // Active endpoints of one flow, in the OS's enumeration order. Any failure
    // (no audio server, COM error) gives the endpoints read so far, or none.
    virtual std::vector<EndpointInfo> ListActive(int flow) = 0;
    // Makes the endpoint the default of its flow (console role on Windows).
    // `flow` is a hint for backends that need it; Windows ignores it.
    virtual EndpointResult SetDefault(const std::wstring& id, int flow) = 0;
    // Sets mute and the volume (scalar 0..1, all channels; a negative scalar
    // leaves the volume alone) of every active capture endpoint whose
    // friendly name contains `nameFragment` (case-sensitive). Returns how
    // many endpoints were changed.
    virtual int SetCaptureVolume(bool mute, float scalar, const std::wstring& nameFragment) = 0;
};

// A state change of one endpoint, as a watcher reports it.
struct EndpointEvent {
    bool hasId = false;  // false when the OS passed no id
    std::wstring id;
    bool resolved = false;  // the friendly name could be read
    std::wstring name;
    int flow = kUnknownFlow;  // the endpoint's real data flow, when known
    int state = 0;            // one of the kState values
};

// Receives endpoint changes; implemented by EndpointChangeForwarder.
class EndpointEventSink {
public:
    virtual ~EndpointEventSink() = default;
    // Called on the watcher's thread, one call at a time, in the order the
    // changes happened.
    virtual void OnEndpointStateChanged(const EndpointEvent& event) = 0;
    // The audio server went away (false) or one is there again (true). Same
    // thread and order as the endpoint changes: a loss comes before the
    // endpoints it takes away, a return after the endpoints it brings.
    // Watchers of a system whose endpoints never go all at once (Windows)
    // never call it.
    virtual void OnAudioServerChanged(bool available) { (void)available; }
};

// Watches the OS for endpoint changes.
class EndpointWatcher {
public:
    struct StartResult {
        bool created = false;     // the OS interface could be created
        bool registered = false;  // change callbacks are registered
    };
    virtual ~EndpointWatcher() = default;  // implies Stop()
    // Starts delivering changes to `sink`, which must stay valid until Stop()
    // has returned. Called once.
    virtual StartResult Start(EndpointEventSink* sink) = 0;
    // No call reaches the sink after Stop() returns. Safe to call twice.
    virtual void Stop() = 0;
};

// The backend and watcher of the OS the program is built for (PulseAudio on
// Linux, Core Audio on Windows). They never throw and never block forever.
std::unique_ptr<EndpointBackend> MakeSystemEndpointBackend();
std::unique_ptr<EndpointWatcher> MakeSystemEndpointWatcher();

}  // namespace sonvale
