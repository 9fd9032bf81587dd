// PulseAudio backend of DeviceWatch: a small client of its own that looks the
// source up by name and then waits for the server's removal event for that
// source's index.
#include <pulse/pulseaudio.h>

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "audio/DeviceWatch.h"

namespace sonvale {

namespace {

class PulseSourceWatch final : public DeviceWatch {
public:
    PulseSourceWatch(const QString& name, std::function<void()> gone)
        : name_(name.toUtf8()), gone_(std::move(gone)) {}

    ~PulseSourceWatch() override {
        if (loop_) {
            pa_threaded_mainloop_lock(loop_);
            closing_ = true;
            if (context_) pa_context_disconnect(context_);
            pa_threaded_mainloop_unlock(loop_);
            pa_threaded_mainloop_stop(loop_);
        }
        if (context_) pa_context_unref(context_);
        if (loop_) pa_threaded_mainloop_free(loop_);
    }

    bool start() {
        loop_ = pa_threaded_mainloop_new();
        if (!loop_) return false;
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Sonvale device watch");
        if (!context_) return false;
        pa_context_set_state_callback(context_, &PulseSourceWatch::onState, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return false;
        return pa_threaded_mainloop_start(loop_) == 0;
    }

    bool waitUntilKnown(int timeoutMs) override {
        std::unique_lock<std::mutex> lock(knownLock_);
        knownChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return known_; });
        return !known_ || present_;
    }

private:
    void learn(bool present) {
        {
            std::lock_guard<std::mutex> lock(knownLock_);
            if (known_) return;
            known_ = true;
            present_ = present;
        }
        knownChanged_.notify_all();
    }

    void fireGone() {
        // Called before the waiter learns the answer, as waitUntilKnown promises.
        if (!closing_ && !fired_.exchange(true)) gone_();
        learn(false);
    }

    static void onState(pa_context* context, void* self) {
        auto* watch = static_cast<PulseSourceWatch*>(self);
        switch (pa_context_get_state(context)) {
            case PA_CONTEXT_READY:
                pa_context_set_subscribe_callback(context, &PulseSourceWatch::onEvent, watch);
                // Subscribe before the look-up: a removal that the look-up
                // misses then still arrives as an event.
                if (pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SOURCE,
                                                            nullptr, nullptr))
                    pa_operation_unref(op);
                if (pa_operation* op = pa_context_get_source_info_by_name(
                        context, watch->name_.constData(), &PulseSourceWatch::onSourceInfo, watch))
                    pa_operation_unref(op);
                break;
            case PA_CONTEXT_FAILED:
            case PA_CONTEXT_TERMINATED:
                watch->fireGone();
                break;
            default:
                break;
        }
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
        auto* watch = static_cast<PulseSourceWatch*>(self);
        if (eol == 0 && info) {
            watch->index_ = info->index;
            watch->found_ = true;
            watch->learn(true);
            return;
        }
        if (!watch->found_) watch->fireGone();  // no such source (eol < 0) or an empty answer
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                        void* self) {
        auto* watch = static_cast<PulseSourceWatch*>(self);
        const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
            watch->found_ && index == watch->index_)
            watch->fireGone();
    }

    QByteArray name_;
    std::function<void()> gone_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    // Touched only on the watch's own thread, or under the loop's lock.
    uint32_t index_ = PA_INVALID_INDEX;
    bool found_ = false;
    bool closing_ = false;
    std::atomic<bool> fired_{false};
    // Whether the device was there when the watch started, for waitUntilKnown.
    std::mutex knownLock_;
    std::condition_variable knownChanged_;
    bool known_ = false;
    bool present_ = false;
};

}  // namespace

std::unique_ptr<DeviceWatch> createPulseSourceWatch(const QString& name,
                                                    std::function<void()> gone) {
    auto watch = std::make_unique<PulseSourceWatch>(name, std::move(gone));
    if (!watch->start()) return nullptr;
    return watch;
}

}  // namespace sonvale
