// Endpoint change notifications above the OS: which slot of the main window
// an endpoint change goes to, the diagnostic block written for each change,
// and the forwarder that ties a watcher to the window.
//
// The forwarder never calls the window itself: it hands the slot name and
// arguments to an EndpointSlotInvoker, which the Qt layer implements with a
// queued call (see notify/CMMNotificationClient.h).
#pragma once

#include <cstdio>
#include <string>

#include "Endpoint.h"

namespace sonvale {

class EndpointDirectory;

// Slot names of the main window; each takes (int state, QString name).
inline constexpr const char* kSlotRemoveSpeaker = "NotifyRemoveSpeaker";
inline constexpr const char* kSlotRemoveMicrophone = "NotifyRemoveMicroppone";
inline constexpr const char* kSlotSetStat = "NotifySetStat";
// The audio server went away (state 0) or is there again (1); empty name.
inline constexpr const char* kSlotAudioServer = "NotifyAudioServer";

// Chooses the slot for a change of an endpoint's state.
//   knownClass: what the directory says (kClassRender/Capture/Neither);
//   realFlow:   the endpoint's own data flow (kUnknownFlow when unknown).
// Render endpoints go to NotifyRemoveSpeaker. Capture endpoints go to
// NotifyRemoveMicroppone when they become active, else to NotifySetStat. An
// endpoint the directory does not know is taken by its real flow, so a
// microphone plugged in after start-up reaches the microphone list; only
// when that is unknown too does it go to NotifyRemoveSpeaker.
const char* DispatchEndpointChange(int knownClass, int realFlow, int state);

// The block written to standard output for every state change:
//   ----------------------
//   Device name: "<name>"
//     Endpoint ID string: "<id>"
// A null name reads "null device", a null id "null ID". UTF-8.
std::string FormatEndpointBlock(const std::wstring* name, const std::wstring* id);

// Delivers a slot call to the main window. Implementations must not run the
// slot on the calling (notification) thread.
class EndpointSlotInvoker {
public:
    virtual ~EndpointSlotInvoker() = default;
    virtual void Invoke(const char* slot, int state, const std::wstring& name) = 0;
};

// Turns watcher events into slot calls: writes the block above, classifies
// the endpoint with the directory, keeps the directory current
// (NoteStateChange) and invokes the chosen slot. Events whose endpoint could
// not be resolved are only written out.
//
// Owned by the notification client; the directory and the invoker must
// outlive it. Runs on the watcher's thread.
class EndpointChangeForwarder : public EndpointEventSink {
public:
    EndpointChangeForwarder(EndpointDirectory* directory, EndpointSlotInvoker* invoker,
                            std::FILE* out = stdout);
    void OnEndpointStateChanged(const EndpointEvent& event) override;
    // Writes "audio server gone" or "audio server back" and invokes
    // NotifyAudioServer(0 or 1, "").
    void OnAudioServerChanged(bool available) override;

private:
    EndpointDirectory* directory_;
    EndpointSlotInvoker* invoker_;
    std::FILE* out_;
};

}  // namespace sonvale
