// The Linux companion devices end to end: scripts/sonvale-driver loads them
// into a real PulseAudio daemon (a private one, started for each test by
// with-private-pulse), paplay and parec stand in for the apps on the other
// side, and the driver link carries the audio bit-exact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/DriverLink.h"

extern char** environ;

namespace sonvale {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string output;
};

// Runs a shell command line, output and errors together.
Result run(const std::string& command) {
    Result r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.output.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

Result driver(const std::string& verb) {
    return run(std::string(SONVALE_DRIVER_SCRIPT " ") + verb);
}

int countLines(const std::string& text, const std::string& a, const std::string& b) {
    int n = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) ++n;
        at = end + 1;
    }
    return n;
}

// A child process with stdout sent to `outFile` (or /dev/null).
pid_t spawn(const std::vector<std::string>& args, const std::string& outFile = "/dev/null") {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

bool exited(pid_t pid, int* status = nullptr) {
    int st = 0;
    const pid_t r = ::waitpid(pid, &st, WNOHANG);
    if (r == pid && status != nullptr) *status = st;
    return r == pid || r < 0;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGINT);
    for (int i = 0; i < 200 && !exited(pid); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Stereo frames with a non-zero left channel in every frame, so the start of
// the pattern is found in a stream that may begin with silence.
std::vector<char> pattern(int frames) {
    std::vector<char> bytes(std::size_t(frames) * 4);
    std::uint32_t x = 12345;
    for (int i = 0; i < frames; ++i) {
        x = x * 1103515245u + 12345u;
        std::int16_t left = static_cast<std::int16_t>((x >> 16) | 1);
        std::int16_t right = static_cast<std::int16_t>(x >> 1);
        std::memcpy(&bytes[4 * i], &left, 2);
        std::memcpy(&bytes[4 * i + 2], &right, 2);
    }
    return bytes;
}

// Offset of `needle` in `hay`, npos when absent.
std::size_t find(const std::vector<char>& hay, const std::vector<char>& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    return it == hay.end() ? std::string::npos : std::size_t(it - hay.begin());
}

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string scratch(const std::string& name) {
    const char* runtime = std::getenv("PULSE_RUNTIME_PATH");
    return std::string(runtime != nullptr ? runtime : "/tmp") + "/" + name;
}

class DriverLinkPulse : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run through with-private-pulse";
        dir_ = driverInterfaceDirectory();
    }
    void TearDown() override {
        for (pid_t p : children_) stop(p);
    }
    void up() {
        const Result r = driver("up");
        ASSERT_EQ(r.status, 0) << r.output;
    }
    // Finds and opens the devices the way the program does.
    void openDevice() {
        std::vector<wchar_t> path(kDriverPathCapacity, 0);
        ASSERT_TRUE(findDriverInterface(path.data(), 0));
        ASSERT_TRUE(device_.open(path.data()));
    }
    pid_t child(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
        const pid_t pid = spawn(args, out);
        if (pid > 0) children_.push_back(pid);
        return pid;
    }

    std::string dir_;
    DriverDevice device_;
    std::vector<pid_t> children_;
};

TEST_F(DriverLinkPulse, UpCreatesBothDevices) {
    up();
    const Result sinks = run("pactl list short sinks");
    const Result sources = run("pactl list short sources");
    EXPECT_EQ(countLines(sinks.output, "Sonvale_Speaker", "s16le 2ch 48000Hz"), 1) << sinks.output;
    EXPECT_EQ(countLines(sources.output, "Sonvale_Microphone\t", "s16le 2ch 48000Hz"), 1)
        << sources.output;
    const Result longSinks = run("pactl list sinks");
    const Result longSources = run("pactl list sources");
    EXPECT_NE(longSinks.output.find("Description: Sonvale Speaker"), std::string::npos);
    EXPECT_NE(longSources.output.find("Description: Sonvale Microphone"), std::string::npos);

    std::vector<wchar_t> path(kDriverPathCapacity, 0);
    ASSERT_TRUE(findDriverInterface(path.data(), 0));
    EXPECT_EQ(std::wstring(path.data()), std::wstring(dir_.begin(), dir_.end()));
    EXPECT_NE(dir_.find("{A918DC47-8798-45A3-8351-CBF0AB47208A}"), std::string::npos);

    const Result status = driver("status");
    EXPECT_EQ(status.status, 0) << status.output;
    EXPECT_EQ(countLines(status.output, "Sonvale_Speaker", "up"), 1) << status.output;
    EXPECT_EQ(countLines(status.output, "Sonvale_Microphone", "up"), 1) << status.output;
}

TEST_F(DriverLinkPulse, UpTwiceLoadsNothingTwice) {
    up();
    const Result again = driver("up");
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_NE(again.output.find("already up"), std::string::npos) << again.output;
    const Result modules = run("pactl list short modules");
    EXPECT_EQ(countLines(modules.output, "module-pipe-sink", "Sonvale_Speaker"), 1)
        << modules.output;
    EXPECT_EQ(countLines(modules.output, "module-pipe-source", "Sonvale_Microphone"), 1)
        << modules.output;

    // A device unloaded behind the script's back is loaded again, alone.
    const Result sink = run("pactl list short modules | awk '$2==\"module-pipe-sink\"{print $1}'");
    ASSERT_EQ(run("pactl unload-module " + sink.output).status, 0);
    EXPECT_EQ(driver("up").status, 0);
    const Result after = run("pactl list short modules");
    EXPECT_EQ(countLines(after.output, "module-pipe-sink", "Sonvale_Speaker"), 1) << after.output;
    EXPECT_EQ(countLines(after.output, "module-pipe-source", "Sonvale_Microphone"), 1)
        << after.output;
}

TEST_F(DriverLinkPulse, DownUnloadsOnlyItsModules) {
    ASSERT_EQ(run("pactl load-module module-null-sink sink_name=Other_Speaker").status, 0);
    up();
    const Result down = driver("down");
    EXPECT_EQ(down.status, 0) << down.output;
    const Result modules = run("pactl list short modules");
    EXPECT_EQ(modules.output.find("module-pipe"), std::string::npos) << modules.output;
    EXPECT_EQ(countLines(modules.output, "module-null-sink", "Other_Speaker"), 1) << modules.output;
    EXPECT_FALSE(fs::exists(dir_));

    const Result status = driver("status");
    EXPECT_EQ(status.status, 3) << status.output;
    EXPECT_EQ(countLines(status.output, "Sonvale_Speaker", "down"), 1) << status.output;
    EXPECT_EQ(driver("down").status, 0);  // nothing left to do is not an error

    std::vector<wchar_t> path(kDriverPathCapacity, 0);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(findDriverInterface(path.data(), 0));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "No HDEVINFO available for this GUID\n");
}

TEST_F(DriverLinkPulse, PlaybackReachesReadPcmBitExact) {
    up();
    openDevice();
    const std::vector<char> sent = pattern(24000);  // 0.5 s
    const std::string file = scratch("played.raw");
    {
        std::ofstream out(file, std::ios::binary);
        out.write(sent.data(), std::streamsize(sent.size()));
    }
    const pid_t player = child({"paplay", "--raw", "--format=s16le", "--channels=2", "--rate=48000",
                                "-d", "Sonvale_Speaker", file});
    ASSERT_GT(player, 0);

    std::vector<char> received;
    std::vector<char> area(kDriverReadAreaBytes);
    int idleAfterExit = 0;
    bool playerDone = false;
    int playerStatus = 0;
    // Bounded by count, not time: each empty read waits a few milliseconds.
    for (int i = 0; i < 6000 && idleAfterExit < 40; ++i) {
        std::uint32_t n = 0;
        device_.readPcm(area.data(), kDriverReadAreaBytes, &n);
        ASSERT_EQ(n % kDriverFrameBytes, 0u);
        received.insert(received.end(), area.begin(), area.begin() + n);
        if (!playerDone) playerDone = exited(player, &playerStatus);
        if (playerDone && n == 0) ++idleAfterExit;
        if (n > 0) idleAfterExit = 0;
    }
    ASSERT_TRUE(playerDone);
    EXPECT_TRUE(WIFEXITED(playerStatus) && WEXITSTATUS(playerStatus) == 0);
    children_.clear();

    const std::size_t at = find(received, sent);
    ASSERT_NE(at, std::string::npos) << "received " << received.size() << " bytes";
    EXPECT_EQ(at % kDriverFrameBytes, 0u);
    // Only silence around the pattern.
    EXPECT_TRUE(
        std::all_of(received.begin(), received.begin() + at, [](char c) { return c == 0; }));
    EXPECT_TRUE(std::all_of(received.begin() + at + sent.size(), received.end(),
                            [](char c) { return c == 0; }));
}

TEST_F(DriverLinkPulse, WritePcmIsRecordedBitExact) {
    up();
    openDevice();
    const std::string file = scratch("recorded.raw");
    const pid_t recorder = child({"parec", "--raw", "--format=s16le", "--channels=2",
                                  "--rate=48000", "--latency-msec=20", "-d", "Sonvale_Microphone"},
                                 file);
    ASSERT_GT(recorder, 0);
    // Start writing once the recorder's stream is connected.
    bool connected = false;
    for (int i = 0; i < 500 && !connected; ++i) {
        connected = !run("pactl list short source-outputs").output.empty();
        if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(connected);

    const std::vector<char> sent = pattern(48000);  // 1 s, 100 chunks
    const std::vector<char> silence(kDriverWriteChunkBytes, 0);
    auto writeChunk = [&](const char* chunk) {
        // A full pipe is refused whole; offer the chunk again shortly.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            std::uint32_t n = 0;
            if (device_.writePcm(chunk, kDriverWriteChunkBytes, &n)) {
                EXPECT_EQ(n, kDriverWriteChunkBytes);
                return true;
            }
            EXPECT_EQ(n, 0u);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    };
    for (std::size_t at = 0; at < sent.size(); at += kDriverWriteChunkBytes) {
        ASSERT_TRUE(writeChunk(sent.data() + at));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Trailing silence pushes the last of the pattern through the recorder.
    std::vector<char> recorded;
    std::size_t at = std::string::npos;
    for (int i = 0; i < 1000 && at == std::string::npos; ++i) {
        ASSERT_TRUE(writeChunk(silence.data()));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        recorded = readFile(file);
        at = find(recorded, sent);
    }
    ASSERT_NE(at, std::string::npos) << "recorded " << recorded.size() << " bytes";
    EXPECT_EQ(at % kDriverFrameBytes, 0u);
    EXPECT_TRUE(
        std::all_of(recorded.begin(), recorded.begin() + at, [](char c) { return c == 0; }));
}

TEST_F(DriverLinkPulse, WriteFailsAfterDown) {
    up();
    openDevice();
    const std::vector<char> chunk(kDriverWriteChunkBytes, 5);
    std::uint32_t n = 0;
    EXPECT_TRUE(device_.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    ASSERT_EQ(driver("down").status, 0);
    for (int i = 0; i < 5; ++i) {
        n = 77;
        EXPECT_FALSE(device_.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
        EXPECT_EQ(n, 0u);
    }
    std::vector<char> area(kDriverReadAreaBytes);
    n = 77;
    EXPECT_FALSE(device_.readPcm(area.data(), kDriverReadAreaBytes, &n));
    EXPECT_EQ(n, 0u);
}

TEST_F(DriverLinkPulse, WriteFailsAfterDaemonDies) {
    up();
    openDevice();
    const std::vector<char> chunk(kDriverWriteChunkBytes, 9);
    std::uint32_t n = 0;
    EXPECT_TRUE(device_.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));

    const std::vector<char> pidText = readFile(scratch("pid"));
    const pid_t daemon = std::atoi(std::string(pidText.begin(), pidText.end()).c_str());
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(::kill(daemon, SIGKILL), 0);
    for (int i = 0; i < 500 && ::kill(daemon, 0) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(::kill(daemon, 0), 0);

    // The FIFOs stay behind with nobody on their other ends.
    EXPECT_TRUE(fs::exists(dir_ + "/" + kMicrophoneFifoName));
    for (int i = 0; i < 5; ++i) {
        n = 77;
        EXPECT_FALSE(device_.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
        EXPECT_EQ(n, 0u);
    }
    std::vector<char> area(kDriverReadAreaBytes);
    for (int i = 0; i < 3; ++i) {
        n = 77;
        device_.readPcm(area.data(), kDriverReadAreaBytes, &n);
        EXPECT_EQ(n, 0u);
    }
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);

    const Result down = driver("down");
    EXPECT_NE(down.status, 0);
    EXPECT_NE(down.output.find("no PulseAudio server reachable"), std::string::npos) << down.output;
}

// "up" clears a FIFO of its own that nothing holds (what a crashed server
// leaves behind) and refuses, leaving it as it is, anything else at that
// path: a plain file, or a FIFO held open both ways as a server's pipe
// module holds it.
TEST_F(DriverLinkPulse, UpClearsOnlyStaleFifos) {
    fs::create_directories(dir_);
    ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
    const std::string mic = dir_ + "/" + kMicrophoneFifoName;
    { std::ofstream(mic) << "not a FIFO"; }
    const Result file = driver("up");
    EXPECT_NE(file.status, 0);
    EXPECT_NE(file.output.find("is not a FIFO"), std::string::npos) << file.output;
    const std::vector<char> kept = readFile(mic);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "not a FIFO");
    fs::remove(mic);

    ASSERT_EQ(::mkfifo(mic.c_str(), 0600), 0);
    const int held = ::open(mic.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(held, 0);
    const Result busy = driver("up");
    ::close(held);
    EXPECT_NE(busy.status, 0);
    EXPECT_NE(busy.output.find("is held by a running server"), std::string::npos) << busy.output;
    EXPECT_TRUE(fs::is_fifo(mic));

    const Result stale = driver("up");
    ASSERT_EQ(stale.status, 0) << stale.output;
    EXPECT_NE(stale.output.find("removed " + mic), std::string::npos) << stale.output;
    openDevice();
    const std::vector<char> chunk(kDriverWriteChunkBytes, 3);
    std::uint32_t n = 0;
    EXPECT_TRUE(device_.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    EXPECT_EQ(driver("down").status, 0);
}

TEST_F(DriverLinkPulse, NoServerGivesClearMessage) {
    for (const char* verb : {"up", "down", "status"}) {
        const Result r = run(
            std::string("PULSE_SERVER=unix:/nonexistent/socket " SONVALE_DRIVER_SCRIPT " ") + verb);
        EXPECT_EQ(r.status, 1) << verb;
        EXPECT_NE(r.output.find("no PulseAudio server reachable"), std::string::npos) << r.output;
    }
    EXPECT_FALSE(fs::exists(dir_));
}

}  // namespace
}  // namespace sonvale

int main(int argc, char** argv) {
    // A write to a FIFO whose reader is gone must come back as an error, not
    // kill the test: leave SIGPIPE at its default action on purpose.
    ::signal(SIGPIPE, SIG_DFL);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
