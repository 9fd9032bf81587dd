#include "PulseEndpointWatcher.h"

#include <set>

#include "EndpointText.h"
#include "PulseSession.h"

namespace sonvale {
namespace {

constexpr pa_usec_t kRetryDelay = 300 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kStartWait = 3 * PA_USEC_PER_SEC;

EndpointEvent MakeEvent(const PulseEndpointState& e, int state) {
    EndpointEvent ev;
    ev.hasId = true;
    ev.resolved = true;
    ev.name = EndpointWideFromUtf8(e.name);
    ev.id = ev.name;
    ev.flow = e.flow;
    ev.state = state;
    return ev;
}

// The state change, if any, when an endpoint goes from `was` to `now`.
void AddTransition(std::vector<EndpointEvent>& out, const PulseEndpointState& e, bool was,
                   bool now) {
    if (was && !now) out.push_back(MakeEvent(e, kStateUnplugged));
    if (!was && now) out.push_back(MakeEvent(e, kStateActive));
}

template <typename Info>
bool PortActive(const Info* info) {
    return !(info->active_port && info->active_port->available == PA_PORT_AVAILABLE_NO);
}
bool IsMonitor(const pa_sink_info*) { return false; }
bool IsMonitor(const pa_source_info* info) { return info->monitor_of_sink != PA_INVALID_INDEX; }
constexpr int FlowOf(const pa_sink_info*) { return kRenderFlow; }
constexpr int FlowOf(const pa_source_info*) { return kCaptureFlow; }

timeval After(pa_usec_t delay) {
    timeval tv;
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, delay);
    return tv;
}

}  // namespace

// ---- PulseEndpointCache ----------------------------------------------------

std::vector<EndpointEvent> PulseEndpointCache::Update(const PulseEndpointState& now) {
    std::vector<EndpointEvent> out;
    auto [it, inserted] = entries_.try_emplace({now.flow, now.index}, now);
    if (inserted) {
        if (now.active) out.push_back(MakeEvent(now, kStateActive));
        return out;
    }
    AddTransition(out, now, it->second.active, now.active);
    it->second = now;
    return out;
}

std::vector<EndpointEvent> PulseEndpointCache::Remove(int flow, uint32_t index) {
    std::vector<EndpointEvent> out;
    auto it = entries_.find({flow, index});
    if (it == entries_.end()) return out;
    // One that is already unplugged has been reported gone.
    if (it->second.active) out.push_back(MakeEvent(it->second, kStateNotPresent));
    entries_.erase(it);
    return out;
}

std::vector<EndpointEvent> PulseEndpointCache::Replace(const std::vector<PulseEndpointState>& all) {
    std::vector<EndpointEvent> out;
    decltype(entries_) next;
    for (const auto& e : all) next.try_emplace({e.flow, e.index}, e);
    if (baselined_) {
        std::map<std::pair<int, std::string>, bool> before;  // (flow, name) -> active
        for (const auto& [key, e] : entries_) before.try_emplace({e.flow, e.name}, e.active);
        std::set<std::pair<int, std::string>> after;
        for (const auto& [key, e] : next) after.insert({e.flow, e.name});
        for (const auto& [key, e] : entries_)
            if (e.active && !after.count({e.flow, e.name}))
                out.push_back(MakeEvent(e, kStateNotPresent));
        for (const auto& [key, e] : next) {
            auto was = before.find({e.flow, e.name});
            if (was == before.end()) {
                if (e.active) out.push_back(MakeEvent(e, kStateActive));
            } else {
                AddTransition(out, e, was->second, e.active);
            }
        }
    }
    baselined_ = true;
    entries_ = std::move(next);
    return out;
}

std::vector<EndpointEvent> PulseEndpointCache::Clear() {
    std::vector<EndpointEvent> out;
    for (const auto& [key, e] : entries_)
        if (e.active) out.push_back(MakeEvent(e, kStateNotPresent));
    entries_.clear();
    return out;
}

// ---- PulseEndpointWatcher --------------------------------------------------

struct PulseEndpointWatcher::Pending {
    enum Kind { kInfo, kRemove, kSync };
    Kind kind = kInfo;
    int flow = kRenderFlow;
    uint32_t index = PA_INVALID_INDEX;
    int outstanding = 0;  // replies still awaited
    bool failed = false;  // a reply was an error
    bool found = false;
    PulseEndpointState state;
    std::vector<PulseEndpointState> all;
    PulseEndpointWatcher* self = nullptr;
};

template <typename Info>
void PulseEndpointWatcher::InfoReply(pa_context*, const Info* info, int eol, void* userdata) {
    auto* p = static_cast<Pending*>(userdata);
    if (eol != 0 || !info) {
        // End of the reply, or an error such as an endpoint that is already
        // gone again; either way this request is answered.
        if (eol < 0) p->failed = true;
        if (eol != 0 && p->outstanding > 0) --p->outstanding;
        p->self->Flush();
        return;
    }
    if (!info->name || IsMonitor(info)) return;
    PulseEndpointState e;
    e.flow = FlowOf(info);
    e.index = info->index;
    e.name = info->name;
    e.active = PortActive(info);
    if (p->kind == Pending::kSync) {
        p->all.push_back(std::move(e));
    } else {
        p->found = true;
        p->state = std::move(e);
    }
}

PulseEndpointWatcher::PulseEndpointWatcher() = default;

PulseEndpointWatcher::~PulseEndpointWatcher() { Stop(); }

EndpointWatcher::StartResult PulseEndpointWatcher::Start(EndpointEventSink* sink) {
    StartResult result;
    if (loop_ || !sink) return result;
    sink_ = sink;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return result;
    api_ = pa_threaded_mainloop_get_api(loop_);
    pa_threaded_mainloop_set_name(loop_, "sonvale-endpoints");
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        return result;
    }
    result.created = true;
    pa_threaded_mainloop_lock(loop_);
    Connect();
    const timeval limit = After(kStartWait);
    pa_time_event* timeout = api_->time_new(api_, &limit, StartTimeoutCallback, this);
    while (!firstAttemptDone_) pa_threaded_mainloop_wait(loop_);
    if (timeout) api_->time_free(timeout);
    result.registered = context_ && pa_context_get_state(context_) == PA_CONTEXT_READY;
    pa_threaded_mainloop_unlock(loop_);
    return result;
}

void PulseEndpointWatcher::Stop() {
    if (!loop_) return;
    if (pa_threaded_mainloop_in_thread(loop_)) return;  // cannot join itself
    pa_threaded_mainloop_lock(loop_);
    stopping_ = true;
    if (retry_) {
        api_->time_free(retry_);
        retry_ = nullptr;
    }
    ReleaseWatchingContext(context_);
    queue_.clear();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
    api_ = nullptr;
}

void PulseEndpointWatcher::Connect() {
    context_ = pa_context_new(api_, "Sonvale endpoint watcher");
    if (!context_) {
        ScheduleReconnect();
        return;
    }
    pa_context_set_state_callback(context_, StateCallback, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        ScheduleReconnect();
        FirstAttemptDone();
    }
}

void PulseEndpointWatcher::ScheduleReconnect() {
    if (stopping_ || retry_) return;
    const timeval when = After(kRetryDelay);
    retry_ = api_->time_new(api_, &when, RetryCallback, this);
}

void PulseEndpointWatcher::RetryCallback(pa_mainloop_api* api, pa_time_event* e, const timeval*,
                                         void* userdata) {
    auto* self = static_cast<PulseEndpointWatcher*>(userdata);
    api->time_free(e);
    self->retry_ = nullptr;
    if (self->stopping_) return;
    // A failed context has no operations left, so no reply can reach the
    // queue once it is gone.
    ReleaseWatchingContext(self->context_);
    self->queue_.clear();
    self->Connect();
}

void PulseEndpointWatcher::StartTimeoutCallback(pa_mainloop_api*, pa_time_event*, const timeval*,
                                                void* userdata) {
    static_cast<PulseEndpointWatcher*>(userdata)->FirstAttemptDone();
}

void PulseEndpointWatcher::FirstAttemptDone() {
    if (firstAttemptDone_) return;
    firstAttemptDone_ = true;
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseEndpointWatcher::StateCallback(pa_context*, void* userdata) {
    static_cast<PulseEndpointWatcher*>(userdata)->OnState();
}

void PulseEndpointWatcher::OnState() {
    switch (pa_context_get_state(context_)) {
        case PA_CONTEXT_READY: {
            pa_context_set_subscribe_callback(context_, SubscribeCallback, this);
            pa_operation* op =
                pa_context_subscribe(context_,
                                     static_cast<pa_subscription_mask_t>(
                                         PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE),
                                     nullptr, nullptr);
            if (op) pa_operation_unref(op);
            // The full lists, queued ahead of every event that follows.
            auto sync = std::make_shared<Pending>();
            sync->kind = Pending::kSync;
            sync->self = this;
            queue_.push_back(sync);
            if ((op = pa_context_get_sink_info_list(context_, InfoReply<pa_sink_info>,
                                                    sync.get()))) {
                ++sync->outstanding;
                pa_operation_unref(op);
            } else {
                sync->failed = true;
            }
            if ((op = pa_context_get_source_info_list(context_, InfoReply<pa_source_info>,
                                                      sync.get()))) {
                ++sync->outstanding;
                pa_operation_unref(op);
            } else {
                sync->failed = true;
            }
            Flush();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            if (connected_) {
                // Requests of the dead connection are never answered.
                connected_ = false;
                serverLost_ = true;
                queue_.clear();
                sink_->OnAudioServerChanged(false);
                Emit(cache_.Clear());
            }
            ScheduleReconnect();
            FirstAttemptDone();
            break;
        default:
            break;
    }
}

void PulseEndpointWatcher::SubscribeCallback(pa_context*, pa_subscription_event_type_t t,
                                             uint32_t index, void* userdata) {
    static_cast<PulseEndpointWatcher*>(userdata)->OnSubscription(t, index);
}

void PulseEndpointWatcher::OnSubscription(pa_subscription_event_type_t t, uint32_t index) {
    const unsigned facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const unsigned type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE) return;
    auto p = std::make_shared<Pending>();
    p->self = this;
    p->flow = facility == PA_SUBSCRIPTION_EVENT_SINK ? kRenderFlow : kCaptureFlow;
    p->index = index;
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        p->kind = Pending::kRemove;
    } else {
        p->kind = Pending::kInfo;
        pa_operation* op = p->flow == kRenderFlow
                               ? pa_context_get_sink_info_by_index(context_, index,
                                                                   InfoReply<pa_sink_info>, p.get())
                               : pa_context_get_source_info_by_index(
                                     context_, index, InfoReply<pa_source_info>, p.get());
        if (op) {
            p->outstanding = 1;
            pa_operation_unref(op);
        }
    }
    queue_.push_back(std::move(p));
    Flush();
}

void PulseEndpointWatcher::Flush() {
    while (!queue_.empty() && queue_.front()->outstanding == 0) {
        std::shared_ptr<Pending> p = std::move(queue_.front());
        queue_.pop_front();
        switch (p->kind) {
            case Pending::kInfo:
                if (p->found) Emit(cache_.Update(p->state));
                break;
            case Pending::kRemove:
                Emit(cache_.Remove(p->flow, p->index));
                break;
            case Pending::kSync:
                // An incomplete list would report endpoints gone that are
                // not; the events that follow still keep the cache going.
                if (!p->failed) {
                    Emit(cache_.Replace(p->all));
                    connected_ = true;
                    if (serverLost_) {
                        serverLost_ = false;
                        sink_->OnAudioServerChanged(true);
                    }
                }
                FirstAttemptDone();
                break;
        }
    }
}

void PulseEndpointWatcher::Emit(const std::vector<EndpointEvent>& events) {
    for (const auto& e : events) sink_->OnEndpointStateChanged(e);
}

}  // namespace sonvale
