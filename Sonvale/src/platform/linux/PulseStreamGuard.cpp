// PulseAudio backend of OwnStreamGuard: a client of its own on a threaded
// main loop that subscribes to playback and recording streams. For every new
// or changed stream of this process (application.process.id) it looks up the
// device the stream is on; a real device is remembered for that stream, a
// virtual one makes the guard move the stream back to the remembered device.
// A move that fails (the real device has gone too) goes to the first real
// device of the flow; with none left the stream is ended, which its owner
// sees as a failed stream, rather than left looping through the program.
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "OwnStreamGuard.h"
#include "PulseSession.h"

namespace sonvale {
namespace {

// Retry after a lost or refused connection: starts short so a restarted
// server is watched again before the program opens its streams there, and
// doubles to at most a second so that waiting for a server costs nothing
// worth measuring.
constexpr pa_usec_t kFirstRetry = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kLongestRetry = 1000 * PA_USEC_PER_MSEC;

enum Flow { kPlayback = 0, kRecording = 1 };

// One request in flight; owned by the guard's list, so that a connection
// torn down with requests unanswered leaks nothing.
struct Request {
    class PulseStreamGuard* guard = nullptr;
    Flow flow = kPlayback;
    uint32_t stream = PA_INVALID_INDEX;
    std::string target;  // the device a move asked for
    bool fallback = false;
};

class PulseStreamGuard final : public OwnStreamGuard {
public:
    explicit PulseStreamGuard(OwnStreamGuardOptions options)
        : options_(std::move(options)), pid_(std::to_string(::getpid())) {}

    ~PulseStreamGuard() override {
        if (!loop_) return;
        pa_threaded_mainloop_lock(loop_);
        stopping_ = true;
        if (retry_) api_->time_free(retry_);
        retry_ = nullptr;
        DropContext();
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }

    bool Start() {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return false;
        api_ = pa_threaded_mainloop_get_api(loop_);
        pa_threaded_mainloop_set_name(loop_, "sonvale-streams");
        if (pa_threaded_mainloop_start(loop_) < 0) {
            pa_threaded_mainloop_free(loop_);
            loop_ = nullptr;
            return false;
        }
        pa_threaded_mainloop_lock(loop_);
        Connect();
        pa_threaded_mainloop_unlock(loop_);
        return true;
    }

    unsigned long streamsPutBack() const override { return putBack_.load(); }

    bool waitUntilWatching(int timeoutMs) override {
        std::unique_lock lock(watchingLock_);
        return watchingChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                         [this] { return watching_; });
    }

private:
    void Log(const std::string& line) {
        if (options_.log) options_.log(line);
    }

    bool IsVirtual(const char* name) const {
        return name && std::string(name).find(options_.virtualFragment) != std::string::npos;
    }

    void SetWatching(bool on) {
        {
            std::lock_guard lock(watchingLock_);
            watching_ = on;
        }
        watchingChanged_.notify_all();
    }

    void Connect() {
        context_ = pa_context_new(api_, "Sonvale stream guard");
        if (!context_) {
            ScheduleReconnect();
            return;
        }
        pa_context_set_state_callback(context_, &PulseStreamGuard::OnState, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            ScheduleReconnect();
    }

    void DropContext() {
        ReleaseWatchingContext(context_);
        // A context that is gone answers nothing more.
        requests_.clear();
    }

    void ScheduleReconnect() {
        if (stopping_ || retry_) return;
        timeval when;
        pa_gettimeofday(&when);
        pa_timeval_add(&when, retryDelay_);
        retry_ = api_->time_new(api_, &when, &PulseStreamGuard::OnRetry, this);
        retryDelay_ = std::min(retryDelay_ * 2, kLongestRetry);
    }

    static void OnRetry(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self) {
        auto* guard = static_cast<PulseStreamGuard*>(self);
        api->time_free(e);
        guard->retry_ = nullptr;
        if (guard->stopping_) return;
        guard->DropContext();
        guard->Connect();
    }

    static void OnState(pa_context* c, void* self) {
        auto* guard = static_cast<PulseStreamGuard*>(self);
        switch (pa_context_get_state(c)) {
            case PA_CONTEXT_READY: {
                guard->retryDelay_ = kFirstRetry;
                pa_context_set_subscribe_callback(c, &PulseStreamGuard::OnEvent, guard);
                if (pa_operation* op = pa_context_subscribe(
                        c,
                        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                                            PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
                        nullptr, nullptr))
                    pa_operation_unref(op);
                // Streams that exist already are checked like new ones.
                if (pa_operation* op = pa_context_get_sink_input_info_list(
                        c, &PulseStreamGuard::OnSinkInput, guard))
                    pa_operation_unref(op);
                if (pa_operation* op = pa_context_get_source_output_info_list(
                        c, &PulseStreamGuard::OnSourceOutput, guard))
                    pa_operation_unref(op);
                guard->Log("stream guard: watching the audio server");
                guard->SetWatching(true);
                break;
            }
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                if (guard->watching_) guard->Log("stream guard: audio server lost, waiting for it");
                guard->SetWatching(false);
                guard->ScheduleReconnect();
                break;
            default:
                break;
        }
    }

    static void OnEvent(pa_context* c, pa_subscription_event_type_t t, uint32_t index, void* self) {
        auto* guard = static_cast<PulseStreamGuard*>(self);
        const unsigned facility = t & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned type = t & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        const Flow flow = facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT ? kPlayback : kRecording;
        if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
            guard->lastReal_[flow].erase(index);
            return;
        }
        pa_operation* op =
            flow == kPlayback
                ? pa_context_get_sink_input_info(c, index, &PulseStreamGuard::OnSinkInput, guard)
                : pa_context_get_source_output_info(c, index, &PulseStreamGuard::OnSourceOutput,
                                                    guard);
        if (op) pa_operation_unref(op);
    }

    bool IsOurs(const pa_proplist* props) const {
        const char* pid = props ? pa_proplist_gets(props, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
        return pid && pid_ == pid;
    }

    static void OnSinkInput(pa_context* c, const pa_sink_input_info* info, int eol, void* self) {
        if (eol || !info) return;
        auto* guard = static_cast<PulseStreamGuard*>(self);
        if (!guard->IsOurs(info->proplist)) return;
        Request* r = guard->NewRequest(kPlayback, info->index);
        if (pa_operation* op =
                pa_context_get_sink_info_by_index(c, info->sink, &PulseStreamGuard::OnSink, r))
            pa_operation_unref(op);
        else
            guard->Finish(r);
    }

    static void OnSourceOutput(pa_context* c, const pa_source_output_info* info, int eol,
                               void* self) {
        if (eol || !info) return;
        auto* guard = static_cast<PulseStreamGuard*>(self);
        if (!guard->IsOurs(info->proplist)) return;
        Request* r = guard->NewRequest(kRecording, info->index);
        if (pa_operation* op = pa_context_get_source_info_by_index(c, info->source,
                                                                   &PulseStreamGuard::OnSource, r))
            pa_operation_unref(op);
        else
            guard->Finish(r);
    }

    static void OnSink(pa_context*, const pa_sink_info* info, int eol, void* request) {
        auto* r = static_cast<Request*>(request);
        if (eol == 0 && info) {
            r->guard->Check(r->flow, r->stream, info->name);
            return;
        }
        if (eol != 0) r->guard->Finish(r);
    }

    static void OnSource(pa_context*, const pa_source_info* info, int eol, void* request) {
        auto* r = static_cast<Request*>(request);
        if (eol == 0 && info) {
            r->guard->Check(r->flow, r->stream, info->name);
            return;
        }
        if (eol != 0) r->guard->Finish(r);
    }

    // Stream `stream` of ours is on device `device`.
    void Check(Flow flow, uint32_t stream, const char* device) {
        if (!device) return;
        if (!IsVirtual(device)) {
            lastReal_[flow][stream] = device;
            anyReal_[flow] = device;
            return;
        }
        auto known = lastReal_[flow].find(stream);
        const std::string target = known != lastReal_[flow].end() ? known->second : anyReal_[flow];
        Log(std::string("stream guard: ") + (flow == kPlayback ? "playback" : "recording") +
            " stream " + std::to_string(stream) + " was moved onto " + device +
            (target.empty() ? "; no real device known, looking for one"
                            : "; putting it back on " + target));
        if (target.empty()) {
            FindRealDevice(flow, stream);
            return;
        }
        MoveTo(flow, stream, target, false);
    }

    void MoveTo(Flow flow, uint32_t stream, const std::string& target, bool fallback) {
        Request* r = NewRequest(flow, stream);
        r->target = target;
        r->fallback = fallback;
        pa_operation* op =
            flow == kPlayback
                ? pa_context_move_sink_input_by_name(context_, stream, target.c_str(),
                                                     &PulseStreamGuard::OnMoved, r)
                : pa_context_move_source_output_by_name(context_, stream, target.c_str(),
                                                        &PulseStreamGuard::OnMoved, r);
        if (op)
            pa_operation_unref(op);
        else
            Finish(r);
    }

    static void OnMoved(pa_context*, int success, void* request) {
        auto* r = static_cast<Request*>(request);
        PulseStreamGuard* guard = r->guard;
        if (success) {
            guard->putBack_.fetch_add(1);
            guard->Log("stream guard: stream " + std::to_string(r->stream) + " is on " + r->target +
                       " again");
        } else if (!r->fallback) {
            guard->Log("stream guard: " + r->target + " is gone; looking for another real device");
            guard->FindRealDevice(r->flow, r->stream);
        } else {
            guard->Kill(r->flow, r->stream);
        }
        guard->Finish(r);
    }

    // Lists the devices of the flow and moves the stream to the first real
    // one (for recording, not a monitor); ends the stream when there is none.
    void FindRealDevice(Flow flow, uint32_t stream) {
        Request* r = NewRequest(flow, stream);
        pa_operation* op =
            flow == kPlayback
                ? pa_context_get_sink_info_list(context_, &PulseStreamGuard::OnSinkListed, r)
                : pa_context_get_source_info_list(context_, &PulseStreamGuard::OnSourceListed, r);
        if (op)
            pa_operation_unref(op);
        else
            Finish(r);
    }

    static void OnSinkListed(pa_context*, const pa_sink_info* info, int eol, void* request) {
        auto* r = static_cast<Request*>(request);
        if (eol == 0 && info) {
            if (r->target.empty() && !r->guard->IsVirtual(info->name)) r->target = info->name;
            return;
        }
        r->guard->Listed(r);
    }

    static void OnSourceListed(pa_context*, const pa_source_info* info, int eol, void* request) {
        auto* r = static_cast<Request*>(request);
        if (eol == 0 && info) {
            if (r->target.empty() && !r->guard->IsVirtual(info->name) &&
                info->monitor_of_sink == PA_INVALID_INDEX)
                r->target = info->name;
            return;
        }
        r->guard->Listed(r);
    }

    void Listed(Request* r) {
        if (r->target.empty()) {
            Kill(r->flow, r->stream);
        } else {
            MoveTo(r->flow, r->stream, r->target, true);
        }
        Finish(r);
    }

    void Kill(Flow flow, uint32_t stream) {
        Log("stream guard: no real device left; ending stream " + std::to_string(stream) +
            " rather than let it loop through the virtual devices");
        pa_operation* op = flow == kPlayback
                               ? pa_context_kill_sink_input(context_, stream, nullptr, nullptr)
                               : pa_context_kill_source_output(context_, stream, nullptr, nullptr);
        if (op) pa_operation_unref(op);
    }

    Request* NewRequest(Flow flow, uint32_t stream) {
        requests_.emplace_back();
        Request* r = &requests_.back();
        r->guard = this;
        r->flow = flow;
        r->stream = stream;
        return r;
    }

    void Finish(Request* r) {
        requests_.remove_if([r](const Request& x) { return &x == r; });
    }

    OwnStreamGuardOptions options_;
    const std::string pid_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* retry_ = nullptr;
    pa_usec_t retryDelay_ = kFirstRetry;
    bool stopping_ = false;
    std::list<Request> requests_;
    // Per flow: the real device each stream of ours was last seen on, and the
    // last real device any of them was on (kept across servers: a restarted
    // server offers the same devices under the same names).
    std::map<uint32_t, std::string> lastReal_[2];
    std::string anyReal_[2];
    std::atomic<unsigned long> putBack_{0};
    std::mutex watchingLock_;
    std::condition_variable watchingChanged_;
    bool watching_ = false;  // written under watchingLock_, on the loop's thread
};

}  // namespace

std::unique_ptr<OwnStreamGuard> StartOwnStreamGuard(OwnStreamGuardOptions options) {
    auto guard = std::make_unique<PulseStreamGuard>(std::move(options));
    if (!guard->Start()) return nullptr;
    return guard;
}

}  // namespace sonvale
