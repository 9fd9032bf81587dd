#include "DefaultDevices.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "EndpointDirectory.h"
#include "EndpointText.h"
#include "PulseSession.h"

namespace sonvale {

namespace {

std::mutex gMutex;
bool gArmed = false;
DefaultDevices gArmedDevices;
bool gAtExitRegistered = false;
int gKeeperFd = -1;  // write end of the pipe to the keeper, -1 without one

void WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Keeper protocol, one line each: "S<speaker>", "M<microphone>" arm (the
// pair is complete after the "M" line), "D" disarms.
void TellKeeper(const std::string& lines) {
    if (gKeeperFd >= 0) WriteAll(gKeeperFd, lines);
}

[[noreturn]] void KeeperMain(int readFd) {
    std::string buffer;
    DefaultDevices pending;
    DefaultDevices armed;
    bool isArmed = false;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(readFd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        size_t nl;
        while ((nl = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            if (line.empty()) continue;
            if (line[0] == 'S') {
                pending.speaker = EndpointWideFromUtf8(line.substr(1));
            } else if (line[0] == 'M') {
                pending.microphone = EndpointWideFromUtf8(line.substr(1));
                armed = pending;
                isArmed = true;
            } else if (line[0] == 'D') {
                isArmed = false;
            }
        }
    }
    // The program has gone. If it did not restore the defaults itself (it
    // crashed or was killed), do it now.
    if (isArmed) ApplyDefaultDevices(armed);
    _exit(0);
}

void AtExitRestore() { RestoreArmedDefaults(); }

}  // namespace

DefaultDevices QueryDefaultDevices() {
    DefaultDevices result;
    PulseSession session;
    if (!session.ok()) return result;
    session.Wait(pa_context_get_server_info(
        session.context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* out = static_cast<DefaultDevices*>(userdata);
            if (!info) return;
            if (info->default_sink_name)
                out->speaker = EndpointWideFromUtf8(info->default_sink_name);
            if (info->default_source_name)
                out->microphone = EndpointWideFromUtf8(info->default_source_name);
        },
        &result));
    return result;
}

namespace {

bool IsVirtualName(const std::wstring& name) { return name.find(L"Sonvale") != std::wstring::npos; }

// Makes `wanted` the default of `flow`; when it is gone (a microphone
// unplugged while the program ran), the first real device of the flow takes
// its place, so the default never stays on a virtual device that nothing
// feeds any more.
void RestoreFlow(const std::wstring& wanted, int flow, std::wstring DefaultDevices::*field) {
    if (!wanted.empty()) {
        SetDefaultEndpointById(wanted);
        if (QueryDefaultDevices().*field == wanted) return;
    }
    auto backend = MakeSystemEndpointBackend();
    if (!backend) return;
    for (const EndpointInfo& e : backend->ListActive(flow)) {
        if (IsVirtualName(e.name)) continue;
        backend->SetDefault(e.id, flow);
        return;
    }
}

}  // namespace

void ApplyDefaultDevices(const DefaultDevices& devices) {
    // On this platform the endpoint id is the device name, and the backend
    // tells sinks from sources by that name.
    RestoreFlow(devices.speaker, kRenderFlow, &DefaultDevices::speaker);
    RestoreFlow(devices.microphone, kCaptureFlow, &DefaultDevices::microphone);
}

void StartDefaultsKeeper() {
    std::lock_guard lock(gMutex);
    if (gKeeperFd >= 0) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (child == 0) {
        ::close(fds[1]);
        // The keeper ignores the signals that end the program (a Ctrl+C
        // reaches the whole process group) and only watches the pipe.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        ::signal(SIGPIPE, SIG_IGN);
        // The read ends when the program's last copy of the write end closes,
        // whether it exits, crashes or is killed.
        KeeperMain(fds[0]);
    }
    ::close(fds[0]);
    gKeeperFd = fds[1];
    ::signal(SIGPIPE, SIG_IGN);
}

void ArmDefaultsRestore(const DefaultDevices& devices) {
    std::lock_guard lock(gMutex);
    gArmed = true;
    gArmedDevices = devices;
    if (!gAtExitRegistered) {
        std::atexit(AtExitRestore);
        gAtExitRegistered = true;
    }
    auto oneLine = [](const std::wstring& w) {
        std::string s = EndpointUtf8FromWide(w);
        for (char& c : s)
            if (c == '\n') c = ' ';
        return s;
    };
    std::string line = "S";
    line += oneLine(devices.speaker);
    line += "\nM";
    line += oneLine(devices.microphone);
    line += '\n';
    TellKeeper(line);
}

void RestoreArmedDefaults() {
    DefaultDevices devices;
    {
        std::lock_guard lock(gMutex);
        if (!gArmed) return;
        gArmed = false;
        devices = gArmedDevices;
    }
    ApplyDefaultDevices(devices);
    std::lock_guard lock(gMutex);
    TellKeeper("D\n");
}

bool DefaultsRestoreArmed() {
    std::lock_guard lock(gMutex);
    return gArmed;
}

}  // namespace sonvale
