// The PulseAudio endpoint backend and watcher against a real daemon. Each
// test group runs under with-private-pulse, which starts a daemon on a
// private socket (PULSE_SERVER) and stops it afterwards.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "EndpointDirectory.h"
#include "EndpointNotification.h"
#include "EndpointText.h"
#include "PulseEndpointWatcher.h"

namespace sonvale {
namespace {

std::string Dir() {
    const char* d = std::getenv("SONVALE_PULSE_DIR");
    return d ? d : "";
}

// Runs a shell command, returns its standard output.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string LoadNullSink(const std::string& name) {
    return Shell("pactl load-module module-null-sink sink_name=" + name);
}
std::string LoadPipeSource(const std::string& name) {
    return Shell("pactl load-module module-pipe-source source_name=" + name + " file=" + Dir() +
                 "/" + name + ".fifo format=s16le rate=48000 channels=2");
}
void Unload(const std::string& module) { Shell("pactl unload-module " + module); }

std::vector<std::wstring> Names(const std::vector<EndpointInfo>& entries) {
    std::vector<std::wstring> out;
    for (const auto& e : entries) {
        EXPECT_EQ(e.name, e.id);  // the PulseAudio name is the id too
        out.push_back(e.name);
    }
    return out;
}

class Environment : public ::testing::Environment {
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under with-private-pulse";
        ASSERT_FALSE(Dir().empty());
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

// ---- Cache: the state changes the watcher derives from server events ------

PulseEndpointState State(int flow, uint32_t index, const std::string& name, bool active = true) {
    PulseEndpointState s;
    s.flow = flow;
    s.index = index;
    s.name = name;
    s.active = active;
    return s;
}

std::vector<std::string> Describe(const std::vector<EndpointEvent>& events) {
    std::vector<std::string> out;
    for (const auto& e : events)
        out.push_back(std::to_string(e.flow) + ":" + EndpointUtf8FromWide(e.name) + ":" +
                      std::to_string(e.state));
    return out;
}

TEST(PulseCache, EventsFromUpdatesAndRemovals) {
    PulseEndpointCache cache;
    EXPECT_TRUE(cache.Replace({State(0, 1, "spk"), State(1, 2, "mic")}).empty());  // baseline
    struct Step {
        const char* what;
        std::vector<EndpointEvent> events;
        std::vector<std::string> expected;
    } steps[] = {
        {"known sink changes volume", cache.Update(State(0, 1, "spk")), {}},
        {"port unplugged", cache.Update(State(1, 2, "mic", false)), {"1:mic:8"}},
        {"still unplugged", cache.Update(State(1, 2, "mic", false)), {}},
        {"port back", cache.Update(State(1, 2, "mic", true)), {"1:mic:1"}},
        {"new sink", cache.Update(State(0, 7, "usb")), {"0:usb:1"}},
        {"new sink, port unplugged", cache.Update(State(0, 8, "hdmi", false)), {}},
        {"unplugged one removed", cache.Remove(0, 8), {}},
        {"removed", cache.Remove(0, 7), {"0:usb:4"}},
        {"removed twice", cache.Remove(0, 7), {}},
        {"never seen", cache.Remove(1, 99), {}},
        {"same index, other flow", cache.Remove(1, 1), {}},
    };
    for (const auto& s : steps) EXPECT_EQ(Describe(s.events), s.expected) << s.what;
}

TEST(PulseCache, ReconnectReportsTheDifference) {
    PulseEndpointCache cache;
    cache.Replace(
        {State(0, 1, "spk"), State(0, 2, "gone"), State(1, 3, "mic"), State(1, 4, "jack", false)});
    // The new server numbers its endpoints anew; names identify them.
    const auto events = cache.Replace({State(0, 10, "spk"), State(1, 11, "mic", false),
                                       State(1, 12, "jack"), State(0, 13, "new")});
    EXPECT_EQ(Describe(events),
              (std::vector<std::string>{"0:gone:4", "0:new:1", "1:mic:8", "1:jack:1"}));
    // Later events use the new indices.
    EXPECT_EQ(Describe(cache.Remove(0, 10)), (std::vector<std::string>{"0:spk:4"}));
    EXPECT_TRUE(cache.Remove(0, 1).empty());
}

// ---- Directory, default switching, volume ---------------------------------

TEST(PulseDirectory, ListsSinksAndSourcesButNoMonitors) {
    // The companion devices as the program meets them, beside stand-ins
    // for a real speaker pair and microphone.
    const std::string driver = "SONVALE_DRIVER_DIR=" + Dir() + "/driver " SONVALE_DRIVER_SCRIPT;
    ASSERT_EQ(std::system((driver + " up >/dev/null").c_str()), 0);
    const std::string mods[] = {LoadNullSink("sv_speaker_a"), LoadNullSink("sv_speaker_b"),
                                LoadPipeSource("sv_mic_a")};
    for (const auto& m : mods) ASSERT_FALSE(m.empty());
    EndpointDirectory directory;
    EXPECT_EQ(Names(directory.Entries(0)),
              (std::vector<std::wstring>{L"Sonvale_Speaker", L"sv_speaker_a", L"sv_speaker_b"}));
    EXPECT_EQ(Names(directory.Entries(1)),
              (std::vector<std::wstring>{L"Sonvale_Microphone", L"sv_mic_a"}));
    EXPECT_EQ(directory.Classify(L"sv_speaker_a", L"sv_speaker_a"), kClassRender);
    EXPECT_EQ(directory.Classify(L"sv_mic_a", L"sv_mic_a"), kClassCapture);
    EXPECT_EQ(directory.Classify(L"sv_speaker_a.monitor", L"sv_speaker_a.monitor"), kClassNeither);

    // Reloading picks up what changed.
    Unload(mods[1]);
    directory.Load(0);
    EXPECT_EQ(Names(directory.Entries(0)),
              (std::vector<std::wstring>{L"Sonvale_Speaker", L"sv_speaker_a"}));
    for (const auto& m : mods) Unload(m);
    std::system((driver + " down >/dev/null").c_str());
}

TEST(PulseDirectory, SetDefaultByNameChangesTheServerDefaults) {
    LoadNullSink("sv_speaker_a");
    LoadNullSink("sv_speaker_b");
    LoadPipeSource("sv_mic_a");
    LoadPipeSource("sv_mic_b");
    EndpointDirectory directory;
    struct Case {
        std::wstring name;
        int flow;
        const char* sink;
        const char* source;
    } cases[] = {
        {L"sv_speaker_b", 0, "sv_speaker_b", nullptr},
        {L"sv_mic_b", 1, nullptr, "sv_mic_b"},
        {L"sv_speaker_a", 0, "sv_speaker_a", nullptr},
        {L"sv_mic_a", 1, nullptr, "sv_mic_a"},
        // Nothing changes for these.
        {L"", 0, "sv_speaker_a", "sv_mic_a"},
        {L"", 1, "sv_speaker_a", "sv_mic_a"},
        {L"absent", 0, "sv_speaker_a", "sv_mic_a"},
        {L"sv_mic_b", 0, "sv_speaker_a", "sv_mic_a"},  // not a render endpoint
        {L"sv_speaker_b.monitor", 1, "sv_speaker_a", "sv_mic_a"},
    };
    for (const auto& c : cases) {
        directory.SetDefaultByName(c.name, c.flow);
        const std::string label = EndpointUtf8FromWide(c.name);
        if (c.sink) {
            EXPECT_EQ(Shell("pactl get-default-sink"), c.sink) << label;
        }
        if (c.source) {
            EXPECT_EQ(Shell("pactl get-default-source"), c.source) << label;
        }
    }
    // By id alone, the flow is found from the name.
    EXPECT_EQ(SetDefaultEndpointById(L"sv_speaker_b"), kEndpointOk);
    EXPECT_EQ(SetDefaultEndpointById(L"sv_mic_b"), kEndpointOk);
    EXPECT_EQ(Shell("pactl get-default-sink"), "sv_speaker_b");
    EXPECT_EQ(Shell("pactl get-default-source"), "sv_mic_b");
    EXPECT_NE(SetDefaultEndpointById(L"absent"), kEndpointOk);
    EXPECT_NE(SetDefaultEndpointById(L""), kEndpointOk);
}

struct SourceLevel {
    bool muted = false;
    std::vector<long> volumes;
};
SourceLevel Level(const std::string& source) {
    SourceLevel level;
    level.muted = Shell("pactl get-source-mute " + source) == "Mute: yes";
    const std::string text = Shell("pactl get-source-volume " + source);
    const std::regex value(R"(:\s*(\d+)\s*/)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), value);
         it != std::sregex_iterator(); ++it)
        level.volumes.push_back(std::stol((*it)[1]));
    return level;
}

TEST(PulseVolume, UnmutesEveryMatchingSourceAtHalfVolume) {
    LoadPipeSource("Sonvale_Microphone");
    LoadPipeSource("Sonvale_Microphone_2");
    LoadPipeSource("sv_mic_a");
    LoadNullSink("Sonvale_Speaker");  // its monitor contains "Sonvale" but is no microphone
    const std::string all[] = {"Sonvale_Microphone", "Sonvale_Microphone_2", "sv_mic_a",
                               "Sonvale_Speaker.monitor"};
    for (const auto& s : all) {
        Shell("pactl set-source-mute " + s + " 1");
        Shell("pactl set-source-volume " + s + " 20%");
    }
    // Case-sensitive: nothing matches "sonvale".
    EXPECT_EQ(SetCaptureEndpointVolume(false, 50, L"sonvale"), 0);
    EXPECT_TRUE(Level("Sonvale_Microphone").muted);

    EXPECT_EQ(SetCaptureEndpointVolume(false, 50, L"Sonvale"), 2);
    for (const auto& s : all) {
        const SourceLevel level = Level(s);
        const bool matches = s.rfind("Sonvale_Microphone", 0) == 0;
        EXPECT_EQ(level.muted, !matches) << s;
        ASSERT_EQ(level.volumes.size(), 2u) << s;  // both channels
        for (long v : level.volumes) EXPECT_EQ(v, matches ? 32768 : 13107) << s;
    }
    // Mute without touching the volume.
    EXPECT_EQ(SetCaptureEndpointVolume(true, std::nanf(""), L"_2"), 1);
    EXPECT_TRUE(Level("Sonvale_Microphone_2").muted);
    EXPECT_EQ(Level("Sonvale_Microphone_2").volumes, (std::vector<long>{32768, 32768}));
}

// ---- Watcher ----------------------------------------------------------------

struct Call {
    std::string slot;
    int state;
    std::string name;
    bool operator==(const Call&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Call& c) {
    return os << c.slot << "(" << c.state << ", " << c.name << ")";
}

// Collects slot calls from the watcher's thread.
class Recorder : public EndpointSlotInvoker {
public:
    void Invoke(const char* slot, int state, const std::wstring& name) override {
        std::lock_guard lock(mutex_);
        calls_.push_back({slot, state, EndpointUtf8FromWide(name)});
        changed_.notify_all();
    }
    // Waits until `count` calls have arrived. The limit only keeps a broken
    // build from hanging; it is far above what the calls take.
    std::vector<Call> WaitFor(size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(60), [&] { return calls_.size() >= count; });
        return calls_;
    }
    std::vector<Call> Take(size_t count) {
        auto calls = WaitFor(count);
        std::lock_guard lock(mutex_);
        calls_.erase(calls_.begin(), calls_.begin() + std::min(count, calls_.size()));
        calls.resize(std::min(count, calls.size()));
        return calls;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

class Watching {
public:
    Watching() : forwarder_(&directory, &recorder, nullptr) {
        started = watcher_.Start(&forwarder_);
    }
    EndpointDirectory directory;
    Recorder recorder;
    EndpointWatcher::StartResult started;

private:
    EndpointChangeForwarder forwarder_;
    PulseEndpointWatcher watcher_;  // stopped first, on destruction
};

TEST(PulseWatcher, DevicesComingAndGoingReachTheRightSlots) {
    const std::string known = LoadNullSink("sv_known");
    const std::string knownMic = LoadPipeSource("sv_known_mic");
    Watching w;
    ASSERT_TRUE(w.started.created);
    ASSERT_TRUE(w.started.registered);

    const std::string sink = LoadNullSink("sv_new_sink");
    const std::string mic = LoadPipeSource("sv_new_mic");
    Unload(sink);
    Unload(mic);
    Unload(known);
    Unload(knownMic);
    const std::vector<Call> expected = {
        {kSlotRemoveSpeaker, 1, "sv_new_sink"}, {kSlotRemoveMicrophone, 1, "sv_new_mic"},
        {kSlotRemoveSpeaker, 4, "sv_new_sink"}, {kSlotSetStat, 4, "sv_new_mic"},
        {kSlotRemoveSpeaker, 4, "sv_known"},    {kSlotSetStat, 4, "sv_known_mic"},
    };
    EXPECT_EQ(w.recorder.Take(expected.size()), expected);
    // The directory followed: the new ones came and went, the known ones went.
    EXPECT_TRUE(w.directory.Entries(0).empty());
    EXPECT_TRUE(w.directory.Entries(1).empty());

    // Back again: learnt, so defaults can be switched to it.
    LoadPipeSource("sv_known_mic");
    EXPECT_EQ(w.recorder.Take(1), (std::vector<Call>{{kSlotRemoveMicrophone, 1, "sv_known_mic"}}));
    w.directory.SetDefaultByName(L"sv_known_mic", 1);
    EXPECT_EQ(Shell("pactl get-default-source"), "sv_known_mic");
}

TEST(PulseWatcher, NothingIsLostWhenSeveralChangeAtOnce) {
    Watching w;
    ASSERT_TRUE(w.started.registered);
    const int n = 6;
    std::string load = "(";
    for (int i = 0; i < n; ++i)
        load += (i % 2 ? "pactl load-module module-null-sink sink_name=sv_many_"
                       : "pactl load-module module-pipe-source file=" + Dir() + "/many.fifo" +
                             std::to_string(i) + " source_name=sv_many_") +
                std::to_string(i) + " >/dev/null & ";
    Shell(load + "wait)");
    // All at once as well; then every device gone.
    Shell(
        "pactl list short modules | awk '/sv_many_/ {print $1}' | "
        "xargs -P 8 -n 1 pactl unload-module");
    const auto calls = w.recorder.Take(2 * n);
    ASSERT_EQ(calls.size(), size_t(2 * n));
    for (int i = 0; i < n; ++i) {
        const std::string name = "sv_many_" + std::to_string(i);
        const bool isSink = i % 2;
        const Call added{isSink ? kSlotRemoveSpeaker : kSlotRemoveMicrophone, 1, name};
        const Call removed{isSink ? kSlotRemoveSpeaker : kSlotSetStat, 4, name};
        const auto a = std::find(calls.begin(), calls.end(), added);
        const auto r = std::find(calls.begin(), calls.end(), removed);
        ASSERT_NE(a, calls.end()) << name;
        ASSERT_NE(r, calls.end()) << name;
        EXPECT_LT(a, r) << name;  // added before removed
    }
    // Nothing else, in particular nothing for the monitors of the sinks.
    EXPECT_TRUE(w.recorder.WaitFor(0).empty());
}

// ---- The server going away and coming back --------------------------------

long DaemonPid() {
    std::ifstream f(Dir() + "/runtime/pid");
    long pid = 0;
    f >> pid;
    return pid;
}

bool Exists(long pid) { return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH; }

bool Zombie(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

void KillDaemon() {
    const long pid = DaemonPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGKILL), 0);
    // A new daemon refuses to start while the old pid exists, so wait until
    // it has been reaped; a zombie nobody reaps is dead, its pid file stale.
    for (int i = 0; i < 3000 && Exists(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (Exists(pid)) {
        ASSERT_TRUE(Zombie(pid));
        std::remove((Dir() + "/runtime/pid").c_str());
    }
}

void StartDaemon() {
    ASSERT_EQ(std::system(
                  (std::string(SONVALE_PRIVATE_PULSE) + " start " + Dir() + " >/dev/null").c_str()),
              0);
}

TEST(PulseRestart, WithoutAServerEverythingIsEmptyAndNothingHangs) {
    KillDaemon();
    EndpointDirectory directory;
    EXPECT_TRUE(directory.Entries(0).empty());
    EXPECT_TRUE(directory.Entries(1).empty());
    directory.SetDefaultByName(L"anything", 0);
    EXPECT_NE(SetDefaultEndpointById(L"anything"), kEndpointOk);
    EXPECT_EQ(SetCaptureEndpointVolume(false, 50, L"Sonvale"), 0);
    {
        Watching w;  // starts and stops cleanly with no server
        EXPECT_TRUE(w.started.created);
        EXPECT_FALSE(w.started.registered);
    }
    StartDaemon();
}

TEST(PulseRestart, WatcherSurvivesAndReconnects) {
    LoadNullSink("sv_before");
    Watching w;
    ASSERT_TRUE(w.started.registered);
    LoadPipeSource("sv_mic_before");
    EXPECT_EQ(w.recorder.Take(1), (std::vector<Call>{{kSlotRemoveMicrophone, 1, "sv_mic_before"}}));

    // The server dies: its loss comes first, then every endpoint it had is
    // gone, and the directory forgets them.
    KillDaemon();
    EXPECT_EQ(w.recorder.Take(3), (std::vector<Call>{{kSlotAudioServer, 0, ""},
                                                     {kSlotRemoveSpeaker, 4, "sv_before"},
                                                     {kSlotSetStat, 4, "sv_mic_before"}}));
    EXPECT_TRUE(w.directory.Entries(kRenderFlow).empty());
    EXPECT_TRUE(w.directory.Entries(kCaptureFlow).empty());

    // A new server with a device of the same name as before: it is new, and
    // so reported, and the server's return follows the endpoints it brings.
    StartDaemon();
    LoadNullSink("sv_before");
    LoadNullSink("sv_marker");
    std::vector<Call> seen;
    while (seen.empty() || seen.back().name != "sv_marker") {
        auto next = w.recorder.Take(1);
        ASSERT_EQ(next.size(), 1u);
        seen.push_back(next[0]);
    }
    // The watcher reconnected before, between or after the two loads.
    const Call back{kSlotAudioServer, 1, ""};
    const Call before{kSlotRemoveSpeaker, 1, "sv_before"};
    const Call marker{kSlotRemoveSpeaker, 1, "sv_marker"};
    const std::vector<std::vector<Call>> orders = {
        {back, before, marker}, {before, back, marker}, {before, marker, back}};
    while (std::find(seen.begin(), seen.end(), back) == seen.end()) {
        auto next = w.recorder.Take(1);
        ASSERT_EQ(next.size(), 1u);
        seen.push_back(next[0]);
    }
    EXPECT_NE(std::find(orders.begin(), orders.end(), seen), orders.end())
        << ::testing::PrintToString(seen);
    EXPECT_EQ(Names(w.directory.Entries(kRenderFlow)),
              (std::vector<std::wstring>{L"sv_before", L"sv_marker"}));

    // Changes are reported again.
    Unload(Shell("pactl list short modules | awk '/sv_marker/ {print $1}'"));
    EXPECT_EQ(w.recorder.Take(1), (std::vector<Call>{{kSlotRemoveSpeaker, 4, "sv_marker"}}));
}

}  // namespace
}  // namespace sonvale
