// Linux driver link against real FIFOs whose other ends the test holds, so
// every case (no reader, reader gone, full pipe, partial frames) is exact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/DriverLink.h"

namespace sonvale {
namespace {

namespace fs = std::filesystem;

// Sets or unsets an environment variable for one scope.
class EnvScope {
public:
    EnvScope(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old, hadOld_ = true;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvScope() {
        if (hadOld_) {
            ::setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

private:
    std::string name_, old_;
    bool hadOld_ = false;
};

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

bool sigpipePending() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

class DriverDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sonvale-driverlink-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        speaker_ = dir_ + "/" + kSpeakerFifoName;
        mic_ = dir_ + "/" + kMicrophoneFifoName;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void makeFifos() {
        ASSERT_EQ(::mkfifo(speaker_.c_str(), 0600), 0);
        ASSERT_EQ(::mkfifo(mic_.c_str(), 0600), 0);
    }
    int keep(int fd) {
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    void drop(int fd) {
        ::close(fd);
        std::erase(fds_, fd);
    }
    // The module side of the microphone FIFO: a reader.
    int micReader() { return keep(::open(mic_.c_str(), O_RDONLY | O_NONBLOCK)); }
    // The module side of the speaker FIFO: a writer (O_RDWR so no reader is needed).
    int speakerWriter() { return keep(::open(speaker_.c_str(), O_RDWR | O_NONBLOCK)); }

    std::string dir_, speaker_, mic_;
    std::vector<int> fds_;
};

struct DirCase {
    const char* name;
    const char* override;  // SONVALE_DRIVER_DIR
    const char* xdg;       // XDG_RUNTIME_DIR
    std::string expected;
};

void PrintTo(const DirCase& c, std::ostream* os) { *os << c.name; }

class InterfaceDirectory : public ::testing::TestWithParam<DirCase> {};

TEST_P(InterfaceDirectory, FollowsEnvironment) {
    const DirCase& c = GetParam();
    EnvScope a(kDriverDirEnv, c.override);
    EnvScope b("XDG_RUNTIME_DIR", c.xdg);
    EXPECT_EQ(driverInterfaceDirectory(), c.expected);
}

const std::string kGuid = "{A918DC47-8798-45A3-8351-CBF0AB47208A}";

INSTANTIATE_TEST_SUITE_P(
    Env, InterfaceDirectory,
    ::testing::Values(DirCase{"Override", "/x/dev", "/run/user/5", "/x/dev"},
                      DirCase{"Runtime", nullptr, "/run/user/5", "/run/user/5/sonvale-" + kGuid},
                      DirCase{"EmptyOverrideIgnored", "", "/run/user/5",
                              "/run/user/5/sonvale-" + kGuid},
                      DirCase{"Tmp", nullptr, nullptr,
                              "/tmp/sonvale-" + std::to_string(::getuid()) + "-" + kGuid},
                      DirCase{"EmptyRuntimeIgnored", nullptr, "",
                              "/tmp/sonvale-" + std::to_string(::getuid()) + "-" + kGuid}),
    [](const auto& info) { return std::string(info.param.name); });

enum class Layout { NoDir, EmptyDir, SpeakerOnly, SpeakerIsFile, Both, SymlinkToBoth };

struct FindCase {
    const char* name;
    Layout layout;
    int member;
    std::size_t capacitySlack;  // capacity = path length + slack (1 fits exactly)
    bool found;
    bool message;
};

void PrintTo(const FindCase& c, std::ostream* os) { *os << c.name; }

class FindInterface : public DriverDir, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindInterface, FindsOnlyCompleteInterface) {
    const FindCase& c = GetParam();
    std::string dir = dir_;
    switch (c.layout) {
        case Layout::NoDir:
            dir += "/missing";
            break;
        case Layout::EmptyDir:
            break;
        case Layout::SpeakerOnly:
            ASSERT_EQ(::mkfifo(speaker_.c_str(), 0600), 0);
            break;
        case Layout::SpeakerIsFile:
            ASSERT_EQ(::close(::open(speaker_.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
            ASSERT_EQ(::mkfifo(mic_.c_str(), 0600), 0);
            break;
        case Layout::Both:
            makeFifos();
            break;
        case Layout::SymlinkToBoth:
            makeFifos();
            dir += "/link";
            ASSERT_EQ(::symlink(dir_.c_str(), dir.c_str()), 0);
            break;
    }
    EnvScope env(kDriverDirEnv, dir.c_str());
    const std::size_t capacity = dir.size() + c.capacitySlack;
    std::vector<wchar_t> buffer(capacity + 8, L'#');

    ::testing::internal::CaptureStdout();
    const bool found = findDriverInterface(buffer.data(), c.member, capacity);
    const std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(found, c.found);
    EXPECT_EQ(out, c.message ? "No HDEVINFO available for this GUID\n" : "");
    if (found) {
        EXPECT_EQ(std::wstring(buffer.data()), wide(dir));
    } else {
        // A refusal writes nothing at all.
        for (wchar_t u : buffer) ASSERT_EQ(u, L'#');
    }
    // Never a unit past the capacity.
    for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], L'#');
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FindInterface,
    ::testing::Values(FindCase{"NoDirectory", Layout::NoDir, 0, 1, false, true},
                      FindCase{"EmptyDirectory", Layout::EmptyDir, 0, 1, false, false},
                      FindCase{"OneFifo", Layout::SpeakerOnly, 0, 1, false, false},
                      FindCase{"RegularFileInsteadOfFifo", Layout::SpeakerIsFile, 0, 1, false,
                               false},
                      FindCase{"Found", Layout::Both, 0, 1024, true, false},
                      FindCase{"FitsExactly", Layout::Both, 0, 1, true, false},
                      FindCase{"NoRoomForTerminator", Layout::Both, 0, 0, false, false},
                      FindCase{"SecondMemberAbsent", Layout::Both, 1, 1024, false, false},
                      FindCase{"SymlinkedDirectory", Layout::SymlinkToBoth, 0, 1024, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverDir, UnopenedDeviceRefusesRequests) {
    DriverDevice device;
    std::uint32_t n = 99;
    char buf[16] = {};
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.writePcm(buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    n = 99;
    EXPECT_FALSE(device.readPcm(buf, sizeof buf, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(device.open(nullptr));
    EXPECT_FALSE(device.open(L""));
    EXPECT_FALSE(device.open(wide(dir_ + "/missing").c_str()));
    EXPECT_FALSE(device.writePcm(buf, sizeof buf, nullptr));
}

// Regular files where the FIFOs belong are not opened, so nothing is written
// into them.
TEST_F(DriverDir, RefusesRegularFiles) {
    for (const auto& p : {speaker_, mic_}) {
        ASSERT_EQ(::close(::open(p.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    }
    DriverDevice device;
    EXPECT_FALSE(device.open(wide(dir_).c_str()));
    const std::vector<char> chunk(kDriverWriteChunkBytes, 1);
    std::uint32_t n = 0;
    EXPECT_FALSE(device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    EXPECT_EQ(fs::file_size(mic_), 0u);
}

// No reader at open, a reader later, the reader gone: writes fail cleanly
// without SIGPIPE and recover as soon as a reader is back.
TEST_F(DriverDir, WriteFollowsReaderWithoutSigpipe) {
    makeFifos();
    DriverDevice device;
    EXPECT_FALSE(device.open(wide(dir_).c_str()));  // nobody reads the microphone yet

    std::vector<char> chunk(kDriverWriteChunkBytes);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7 + 3);
    std::uint32_t n = 77;
    EXPECT_FALSE(device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    EXPECT_EQ(n, 0u);

    const int reader = micReader();
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    EXPECT_EQ(n, kDriverWriteChunkBytes);
    std::vector<char> got(kDriverWriteChunkBytes * 2);
    ASSERT_EQ(::read(reader, got.data(), got.size()), ssize_t(kDriverWriteChunkBytes));
    EXPECT_EQ(0, std::memcmp(got.data(), chunk.data(), chunk.size()));

    drop(reader);
    for (int i = 0; i < 3; ++i) {
        n = 77;
        EXPECT_FALSE(device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
        EXPECT_EQ(n, 0u);
    }
    EXPECT_FALSE(sigpipePending());

    const int again = micReader();
    ASSERT_GE(again, 0);
    EXPECT_TRUE(device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n));
    EXPECT_EQ(::read(again, got.data(), got.size()), ssize_t(kDriverWriteChunkBytes));
}

// A reader that never drains: once the pipe is full the write gives up and
// says so, without splitting a chunk; what was written is intact.
TEST_F(DriverDir, FullPipeFailsWithoutSplittingChunks) {
    makeFifos();
    const int reader = micReader();
    ASSERT_GE(reader, 0);
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));

    std::vector<char> chunk(kDriverWriteChunkBytes, 0x11);
    std::uint64_t accepted = 0;
    int failures = 0;
    for (int i = 0; i < 10000 && failures < 3; ++i) {
        std::uint32_t n = 0;
        const bool ok = device.writePcm(chunk.data(), kDriverWriteChunkBytes, &n);
        if (ok) {
            EXPECT_EQ(n, kDriverWriteChunkBytes);
            accepted += n;
        } else {
            EXPECT_EQ(n, 0u);
            ++failures;
        }
    }
    EXPECT_EQ(failures, 3);
    std::uint64_t drained = 0;
    std::vector<char> got(65536);
    for (ssize_t r; (r = ::read(reader, got.data(), got.size())) > 0;) drained += r;
    EXPECT_EQ(drained, accepted);
    EXPECT_EQ(drained % kDriverWriteChunkBytes, 0u);
}

// The microphone FIFO's backlog is bounded two ways. Nobody drains: it fills
// to its cap (80 ms) and the rest is refused and counted. A reader that takes
// exactly one 10 ms period per 10 ms, as PipeWire's pipe source does, leaves
// that backlog standing; within two windows the device cuts it out in whole
// frames with a fade (no step in a sine), and counts that too.
TEST_F(DriverDir, MicrophoneBacklogIsCappedThenCutWithAFade) {
    makeFifos();
    const int reader = micReader();
    ASSERT_GE(reader, 0);
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));

    constexpr std::uint32_t kCap = 80 * 48 * 4, kChunk = kDriverWriteChunkBytes;
    std::uint64_t phase = 0;
    auto nextChunk = [&phase] {
        std::vector<std::int16_t> c(kChunk / 2);
        for (std::size_t f = 0; f < c.size() / 2; ++f, ++phase) {
            const auto v =
                static_cast<std::int16_t>(10000 * std::sin(phase * 2 * M_PI * 440 / 48000));
            c[2 * f] = c[2 * f + 1] = v;
        }
        return c;
    };
    auto backlog = [reader] {
        int n = 0;
        ::ioctl(reader, FIONREAD, &n);
        return static_cast<std::uint32_t>(n);
    };
    for (int i = 0; i < 20; ++i) {
        std::uint32_t n = 0;
        device.writePcm(nextChunk().data(), kChunk, &n);
    }
    EXPECT_EQ(backlog(), kCap);
    EXPECT_EQ(device.micDroppedBytes(), 20 * kChunk - kCap);

    std::vector<std::int16_t> received(kCap / 2), piece(kChunk / 2);
    ASSERT_EQ(::read(reader, received.data(), kCap), ssize_t(kCap));
    // What the refusals skipped is a step in the sine; start the stream that
    // is checked after it, from an 80 ms backlog again, drained one period
    // per period.
    received.clear();
    for (int i = 0; i < 8; ++i) {
        std::uint32_t n = 0;
        ASSERT_TRUE(device.writePcm(nextChunk().data(), kChunk, &n));
    }
    const std::uint64_t refused = device.micDroppedBytes();
    int afterCut = -1;
    for (int i = 0; i < 600 && afterCut < 30; ++i) {
        const ssize_t r = ::read(reader, piece.data(), kChunk);
        if (r > 0) received.insert(received.end(), piece.begin(), piece.begin() + r / 2);
        std::uint32_t n = 0;
        EXPECT_TRUE(device.writePcm(nextChunk().data(), kChunk, &n));
        if (afterCut < 0 && device.micDroppedBytes() > refused) afterCut = 0;
        if (afterCut >= 0) ++afterCut;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(afterCut, 30) << "the standing backlog was never cut";
    EXPECT_LE(backlog(), 20u * 48 * 4) << "at most 20 ms are left standing";
    EXPECT_GE(device.micDroppedBytes() - refused, 50u * 48 * 4);
    // The cut is faded: no step larger than the sine's own in either channel.
    int steepest = 0;
    for (std::size_t i = 2; i < received.size(); ++i)
        steepest = std::max(steepest, std::abs(received[i] - received[i - 2]));
    EXPECT_LT(steepest, 1000);
}

// A write larger than one atomic pipe piece still arrives whole and in order.
TEST_F(DriverDir, LargeWriteArrivesInOrder) {
    makeFifos();
    const int reader = micReader();
    ASSERT_GE(reader, 0);
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));
    std::vector<char> big(20000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    std::uint32_t n = 0;
    EXPECT_TRUE(device.writePcm(big.data(), static_cast<std::uint32_t>(big.size()), &n));
    EXPECT_EQ(n, big.size());
    std::vector<char> got(big.size());
    ASSERT_EQ(::read(reader, got.data(), got.size()), ssize_t(big.size()));
    EXPECT_EQ(got, big);
}

struct ReadStep {
    std::uint32_t written;   // bytes the module side writes before the read
    std::uint32_t capacity;  // area size given to readPcm
    std::uint32_t returned;  // expected count
};

struct ReadCase {
    const char* name;
    std::vector<ReadStep> steps;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ReadFrames : public DriverDir, public ::testing::WithParamInterface<ReadCase> {};

// Reads hand out whole frames only; the remainder is kept and leads the next
// read, so the byte stream comes out unchanged.
TEST_P(ReadFrames, WholeFramesAndNothingLost) {
    makeFifos();
    const int writer = speakerWriter();
    ASSERT_GE(writer, 0);
    micReader();
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));

    std::vector<unsigned char> sent, received;
    unsigned char next = 1;
    for (const ReadStep& s : GetParam().steps) {
        std::vector<unsigned char> bytes(s.written);
        for (auto& b : bytes) b = next++;
        if (!bytes.empty()) {
            ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), ssize_t(s.written));
        }
        sent.insert(sent.end(), bytes.begin(), bytes.end());

        std::vector<unsigned char> area(s.capacity + 4, 0xEE);
        std::uint32_t n = 12345;
        EXPECT_TRUE(device.readPcm(area.data(), s.capacity, &n));
        EXPECT_EQ(n, s.returned);
        EXPECT_EQ(n % kDriverFrameBytes, 0u);
        for (std::size_t i = s.capacity; i < area.size(); ++i) ASSERT_EQ(area[i], 0xEE);
        received.insert(received.end(), area.begin(), area.begin() + n);
    }
    ASSERT_LE(received.size(), sent.size());
    EXPECT_TRUE(std::equal(received.begin(), received.end(), sent.begin()));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ReadFrames,
    ::testing::Values(ReadCase{"NothingWaiting", {{0, 38400, 0}}},
                      ReadCase{"WholeFrames", {{1920, 38400, 1920}}},
                      ReadCase{"PartialFrameKept", {{10, 38400, 8}, {2, 38400, 4}, {0, 38400, 0}}},
                      ReadCase{"RemainderOnly", {{3, 38400, 0}, {1, 38400, 4}}},
                      ReadCase{"AreaSmallerThanData", {{100, 40, 40}, {0, 38400, 60}}},
                      ReadCase{"AreaNotWholeFrames", {{16, 7, 4}, {0, 38400, 12}}},
                      ReadCase{"AreaBelowOneFrame", {{8, 3, 0}, {0, 38400, 8}}},
                      ReadCase{"RemainderWithSmallArea",
                               {{5, 38400, 4}, {7, 4, 4}, {0, 38400, 4}}}),
    [](const auto& info) { return std::string(info.param.name); });

// An empty speaker FIFO holds a read up for a while only when the caller
// asks to wait: a play loop that still has audio to go on with must not sit
// in the read, and one that has none must not spin. Data that is there comes
// out either way.
TEST_F(DriverDir, ReadWaitsForDataOnlyWhenAsked) {
    makeFifos();
    const int writer = speakerWriter();
    micReader();
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));
    char area[3840];
    std::uint32_t n = 7;
    using Clock = std::chrono::steady_clock;

    const auto waitStart = Clock::now();
    EXPECT_TRUE(device.readPcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_GE(Clock::now() - waitStart, std::chrono::milliseconds(30));

    // Five reads that do not wait end well before five waiting ones would
    // (5 x 40 ms).
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        n = 7;
        EXPECT_TRUE(device.readPcm(area, sizeof area, &n, false));
        EXPECT_EQ(n, 0u);
    }
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(200));

    ASSERT_EQ(::write(writer, "abcdefgh", 8), 8);
    EXPECT_TRUE(device.readPcm(area, sizeof area, &n, false));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(0, std::memcmp(area, "abcdefgh", 8));
}

// The speaker's writer vanishing is reported, and the device picks the FIFO
// up again once a writer is back.
TEST_F(DriverDir, ReadRecoversAfterWriterLeaves) {
    makeFifos();
    int writer = speakerWriter();
    micReader();
    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));
    drop(writer);
    std::uint32_t n = 9;
    char area[64];
    EXPECT_FALSE(device.readPcm(area, sizeof area, &n));
    EXPECT_EQ(n, 0u);

    writer = keep(::open(speaker_.c_str(), O_RDWR | O_NONBLOCK));
    ASSERT_GE(writer, 0);
    // The first call reopens the FIFO (nothing to read yet); then data flows.
    device.readPcm(area, sizeof area, &n);
    ASSERT_EQ(::write(writer, "abcdefgh", 8), 8);
    EXPECT_TRUE(device.readPcm(area, sizeof area, &n));
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(0, std::memcmp(area, "abcdefgh", 8));
}

// The speaker FIFO is cut down to one page so that a sink module writing
// whenever there is room cannot hold a third of a second ahead of the
// speaker; audio already in a fuller FIFO is read first, not thrown away.
TEST_F(DriverDir, SpeakerFifoShrinksOnlyOnceDrained) {
    makeFifos();
    const int writer = speakerWriter();
    micReader();
    std::vector<unsigned char> sent(16384);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(::write(writer, sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));

    DriverDevice device;
    ASSERT_TRUE(device.open(wide(dir_).c_str()));
    EXPECT_GT(::fcntl(writer, F_GETPIPE_SZ), 4096);

    std::vector<unsigned char> got;
    unsigned char area[38400];
    for (int i = 0; i < 4 && got.size() < sent.size(); ++i) {
        std::uint32_t n = 0;
        ASSERT_TRUE(device.readPcm(area, sizeof area, &n));
        got.insert(got.end(), area, area + n);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(::fcntl(writer, F_GETPIPE_SZ), 4096);
}

}  // namespace
}  // namespace sonvale
