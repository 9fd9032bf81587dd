// A short-lived, blocking connection to the PulseAudio server, for the
// one-shot operations of the endpoint backend (list, set default, volume).
// Every wait is bounded, so a stuck or missing server costs at most the
// timeout; the daemon is never autospawned.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>

namespace sonvale {

// Ends a long-lived context that watches the server: its state and
// subscription callbacks are silenced first, so nothing of it runs again,
// then it is disconnected and released. `context` is null afterwards. Call
// with the context's main loop locked (or not running).
inline void ReleaseWatchingContext(pa_context*& context) {
    if (context == nullptr) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
}

class PulseSession {
public:
    explicit PulseSession(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~PulseSession();
    PulseSession(const PulseSession&) = delete;
    PulseSession& operator=(const PulseSession&) = delete;

    // True once the connection is ready.
    bool ok() const { return ready_; }
    pa_context* context() const { return context_; }

    // Runs the main loop until `op` completes, the connection fails or the
    // timeout passes (then the operation is cancelled). Takes ownership of
    // `op`, which may be null. True when the operation completed.
    bool Wait(pa_operation* op);

private:
    bool Iterate(std::chrono::steady_clock::time_point deadline);

    std::chrono::milliseconds timeout_;
    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool ready_ = false;
};

}  // namespace sonvale
