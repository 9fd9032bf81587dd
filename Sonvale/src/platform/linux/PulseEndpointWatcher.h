// Endpoint change notifications on PulseAudio: a threaded main loop that
// subscribes to sink and source events and reports them as Windows-style
// state changes: a new endpoint is active (1), a removed one not present
// (4), one whose active port becomes unavailable unplugged (8) and active
// again when the port comes back. Monitor sources are not endpoints.
//
// When the server goes away the watcher reports the loss and every endpoint
// it knew as not present (a new server is a new set of devices, even when
// their names are the same), retries until a server is back, then reports
// that server's endpoints as new and the server's return.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Endpoint.h"

namespace sonvale {

// One sink or source as the watcher last saw it.
struct PulseEndpointState {
    int flow = kRenderFlow;
    uint32_t index = 0;
    std::string name;  // UTF-8
    bool active = true;
};

// The watcher's memory of the server's endpoints, and the state changes
// that follow from each server event. Used on the watcher's thread only.
class PulseEndpointCache {
public:
    // A sink or source appeared or changed.
    std::vector<EndpointEvent> Update(const PulseEndpointState& now);
    // A sink or source was removed.
    std::vector<EndpointEvent> Remove(int flow, uint32_t index);
    // The complete endpoints of a server just connected to (indices change
    // across server restarts, so they are matched by flow and name). The
    // first call only records them: they are what the directory loaded.
    std::vector<EndpointEvent> Replace(const std::vector<PulseEndpointState>& all);
    // The server went away: every active endpoint is not present any more,
    // and the next Replace reports all of that server's endpoints as new.
    std::vector<EndpointEvent> Clear();

private:
    std::map<std::pair<int, uint32_t>, PulseEndpointState> entries_;
    bool baselined_ = false;
};

class PulseEndpointWatcher final : public EndpointWatcher {
public:
    PulseEndpointWatcher();
    ~PulseEndpointWatcher() override;
    // Waits (bounded) for the first connection attempt, so that changes made
    // after Start returns are reported when the server is there.
    StartResult Start(EndpointEventSink* sink) override;
    void Stop() override;

private:
    struct Pending;
    template <typename Info>
    static void InfoReply(pa_context* c, const Info* info, int eol, void* pending);
    void Connect();
    void ScheduleReconnect();
    void OnState();
    void OnSubscription(pa_subscription_event_type_t type, uint32_t index);
    void Flush();
    void Emit(const std::vector<EndpointEvent>& events);
    void FirstAttemptDone();
    static void StateCallback(pa_context* c, void* self);
    static void SubscribeCallback(pa_context* c, pa_subscription_event_type_t t, uint32_t index,
                                  void* self);
    static void RetryCallback(pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv,
                              void* self);
    static void StartTimeoutCallback(pa_mainloop_api* api, pa_time_event* e,
                                     const struct timeval* tv, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    EndpointEventSink* sink_ = nullptr;
    bool stopping_ = false;
    bool firstAttemptDone_ = false;
    bool connected_ = false;   // the lists of the current server have been read
    bool serverLost_ = false;  // a server was lost and none has been read since
    PulseEndpointCache cache_;
    // Server events in arrival order; each waits for its info reply, so
    // changes are reported in the order they happened.
    std::deque<std::shared_ptr<Pending>> queue_;
};

}  // namespace sonvale
