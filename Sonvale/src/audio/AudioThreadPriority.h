// Real-time scheduling for the loops' audio threads, asked for the way desktop
// audio programs ask for it, so that a busy machine does not make them late.
//
// Linux: SCHED_FIFO straight away where the process may (a real-time limit,
// or the capability); otherwise from RealtimeKit over the system D-Bus, which
// desktops run for this; otherwise the thread stays at normal priority and
// that is logged. Elsewhere: the thread's Qt priority is raised.
#pragma once

namespace sonvale {

enum class AudioThreadPriority {
    Realtime,  // a real-time scheduling class was granted
    Raised,    // only a higher ordinary priority
    Normal,    // nothing was granted
};

// Asks for real-time scheduling of the calling thread, a QThread named
// `who` in the log. Logs the outcome: the first time, and whenever it
// differs from the last one (a thread is started on every device change).
// Takes at most a few tens of milliseconds (one D-Bus round trip).
AudioThreadPriority raiseAudioThreadPriority(const char* who);

}  // namespace sonvale
