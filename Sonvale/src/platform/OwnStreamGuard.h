// Keeps the program's own audio streams off its own virtual devices.
//
// The audio server moves the streams of the old default device onto a new
// default. When the virtual devices become the defaults while the program
// records a microphone or plays to a speaker (the companion devices loaded
// again, a server that restores its saved defaults), the capture would record
// the virtual microphone, which carries the program's own output, and the
// playback would feed the virtual speaker it reads from: both paths would go
// silent or loop. The guard watches the streams of this process and puts one
// that lands on a virtual device back at once on the real device it was on,
// or on another real device of its kind when that one is gone.
//
// Threads: the guard runs on a thread of its own; `log` is called there, one
// line at a time. Start and destroy it on one thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace sonvale {

struct OwnStreamGuardOptions {
    // A device whose name contains this is one of the program's own.
    std::string virtualFragment = "Sonvale";
    // One line per stream put back, per connection to a server and per loss.
    std::function<void(const std::string&)> log;
};

class OwnStreamGuard {
public:
    virtual ~OwnStreamGuard() = default;
    // Streams of this process put back so far.
    virtual unsigned long streamsPutBack() const = 0;
    // Waits, at most `timeoutMs`, until the guard watches a server; false
    // when it did not within that time.
    virtual bool waitUntilWatching(int timeoutMs) = 0;
};

// Starts the guard; it reconnects by itself when the server goes and comes
// back (retrying with a bounded back-off). Null where no guard is needed
// (Windows opens every stream on its own endpoint, which never moves) or when
// it cannot be set up.
std::unique_ptr<OwnStreamGuard> StartOwnStreamGuard(OwnStreamGuardOptions options = {});

}  // namespace sonvale
