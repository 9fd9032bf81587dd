// The system's default speaker and microphone, and the promise to put them
// back however the program ends.
//
// The program makes its virtual devices the defaults at start-up. Every exit
// path must restore what was there before: the title menu's quit, the tray's
// exit, SIGINT/SIGTERM/SIGHUP, the end of the desktop session, exit() called
// from inside a library (the X11 connection breaking), and even a crash or
// SIGKILL. The last two are covered by a small keeper process started at the
// very beginning of main: it learns the saved names through a pipe and
// restores them itself when the pipe closes without a "done".
#pragma once

#include <string>

namespace sonvale {

struct DefaultDevices {
    std::wstring speaker;     // default render endpoint (PulseAudio: default sink)
    std::wstring microphone;  // default capture endpoint (PulseAudio: default source)
};

// The current defaults; a field is empty when it cannot be read.
DefaultDevices QueryDefaultDevices();

// Makes the given devices the defaults again (empty fields are skipped).
void ApplyDefaultDevices(const DefaultDevices& devices);

// Starts the keeper process. Call first thing in main, before any thread
// exists. Without it the in-process paths below still work.
void StartDefaultsKeeper();

// Records the devices to restore: from now on any exit restores them (the
// atexit hook, the keeper). Replaces an earlier record.
void ArmDefaultsRestore(const DefaultDevices& devices);

// Restores the recorded devices now, if still armed, and disarms. Safe to
// call any number of times; the second and later calls do nothing.
void RestoreArmedDefaults();

// Whether a restore is still owed.
bool DefaultsRestoreArmed();

}  // namespace sonvale
