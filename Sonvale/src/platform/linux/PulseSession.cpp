#include "PulseSession.h"

namespace sonvale {

PulseSession::PulseSession(std::chrono::milliseconds timeout) : timeout_(timeout) {
    loop_ = pa_mainloop_new();
    if (!loop_) return;
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "Sonvale");
    if (!context_) return;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) {
            ready_ = true;
            return;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) return;
        if (!Iterate(deadline)) return;
    }
}

PulseSession::~PulseSession() {
    if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_) pa_mainloop_free(loop_);
}

bool PulseSession::Iterate(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (pa_mainloop_prepare(loop_, static_cast<int>(left.count())) < 0) return false;
    if (pa_mainloop_poll(loop_) < 0) return false;
    return pa_mainloop_dispatch(loop_) >= 0;
}

bool PulseSession::Wait(pa_operation* op) {
    if (!op) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    bool done = true;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING) {
        if (!ready_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || !Iterate(deadline)) {
            pa_operation_cancel(op);
            done = false;
            break;
        }
    }
    if (pa_operation_get_state(op) != PA_OPERATION_DONE) done = false;
    pa_operation_unref(op);
    return done;
}

}  // namespace sonvale
