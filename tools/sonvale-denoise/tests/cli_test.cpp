// The sonvale-denoise command as a user runs it: the built binary with the
// real noise suppressor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "test_support.h"

namespace sonvale::denoise {
namespace {

using test::Audio;
using test::corpusSpeech;
using test::crossCorrelationPeak;
using test::readAudio;
using test::readBytes;
using test::ScratchDir;
using test::writeAudio;
using test::writeBytes;

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
};

// Starts the command; the caller waits for it.
pid_t start(const std::vector<std::string>& args, const std::string& out_file,
            const std::string& err_file, rlim_t file_size_limit = RLIM_INFINITY) {
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit lim {
            file_size_limit, file_size_limit
        };
        if (file_size_limit != RLIM_INFINITY) setrlimit(RLIMIT_FSIZE, &lim);
        int o = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(o, STDOUT_FILENO);
        dup2(e, STDERR_FILENO);
        std::vector<char*> argv;
        static std::string bin = SONVALE_DENOISE_BIN;
        argv.push_back(bin.data());
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

RunResult denoise(const std::vector<std::string>& args, rlim_t file_size_limit = RLIM_INFINITY) {
    ScratchDir logs;
    RunResult r;
    r.status = waitFor(start(args, logs.path("out"), logs.path("err"), file_size_limit));
    r.out = readBytes(logs.path("out"));
    r.err = readBytes(logs.path("err"));
    return r;
}

// A message is one line, names the tool and says what went wrong.
void expectOneLineError(const RunResult& r, const std::string& words) {
    EXPECT_EQ(r.status, 1) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.rfind("sonvale-denoise: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "not one line: " << r.err;
    EXPECT_NE(r.err.find(words), std::string::npos) << "expected '" << words << "' in: " << r.err;
}

Audio speech(int rate, int channels) {
    Audio a;
    a.rate = rate;
    a.channels = channels;
    std::vector<std::vector<float>> ch;
    for (int c = 0; c < channels; ++c) ch.push_back(corpusSpeech(3 + 5 * c));
    size_t n = ch[0].size();
    for (auto& v : ch) n = std::min(n, v.size());
    if (n == 0) return a;
    a.frames.resize(n * channels);
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < channels; ++c) a.frames[i * channels + c] = ch[c][i];
    }
    return a;
}

void expectAlignedRoundTrip(int rate, int channels, int format, const char* name) {
    // Corpus speech, written at the rate under test: the content need only be
    // speech-like and broadband, not played at its original speed.
    Audio in = speech(rate, channels);
    if (in.frames.empty()) GTEST_SKIP() << "corpus not found in " << test::corpusDir();
    ScratchDir dir;
    std::string src = dir.path(name), dst = dir.path(std::string("clean-") + name);
    writeAudio(src, in, format);
    in = readAudio(src);  // compare with what the file holds
    RunResult r = denoise({"--stats", src, dst});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("real-time factor"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << "no progress line without a terminal: " << r.err;
    Audio out = readAudio(dst);
    EXPECT_EQ(out.format, format);
    EXPECT_EQ(out.rate, rate);
    ASSERT_EQ(out.channels, channels);
    ASSERT_EQ(out.size(), in.size());
    for (int c = 0; c < channels; ++c) {
        double peak = 0;
        // Wide enough to see the suppressor's own delay (1023 samples at
        // 32 kHz) at any of these rates, were it left in.
        int lag = crossCorrelationPeak(in.channel(c), out.channel(c), 2048, &peak);
        EXPECT_EQ(lag, 0) << "channel " << c;
        EXPECT_GT(peak, 0.8) << "channel " << c;
    }
}

TEST(Cli, StereoAt44100RoundTripsAligned) {
    expectAlignedRoundTrip(44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, "stereo.wav");
}

TEST(Cli, MonoAt48000RoundTripsAligned) {
    expectAlignedRoundTrip(48000, 1, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "mono.flac");
}

TEST(Cli, UsageErrorsAndHelp) {
    RunResult help = denoise({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: sonvale-denoise"), std::string::npos);
    for (auto args :
         {std::vector<std::string>{}, std::vector<std::string>{"only-one.wav"},
          std::vector<std::string>{"a", "b", "c"}, std::vector<std::string>{"--bogus", "a", "b"}}) {
        RunResult r = denoise(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind("sonvale-denoise: ", 0), 0u) << r.err;
    }
}

// Every bad input or output: a one-line message, exit 1, the existing output
// (if any) untouched, no temporary file left, the input unchanged.
class CliRefuses : public ::testing::Test {
protected:
    void SetUp() override {
        Audio a;
        a.rate = 48000;
        a.channels = 1;
        a.frames.assign(48000, 0.0f);
        for (size_t i = 0; i < a.frames.size(); ++i) a.frames[i] = 0.25f * ((i / 24) % 2 ? 1 : -1);
        writeAudio(dir.path("good.wav"), a, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        good = readBytes(dir.path("good.wav"));
    }

    void expectRefused(const std::vector<std::string>& args, const std::string& words,
                       rlim_t file_size_limit = RLIM_INFINITY) {
        auto before = dir.entries();
        std::vector<std::string> contents;
        for (auto& e : before) contents.push_back(readBytes(dir.path(e)));
        RunResult r = denoise(args, file_size_limit);
        expectOneLineError(r, words);
        EXPECT_EQ(dir.entries(), before) << "files appeared or vanished";
        for (size_t i = 0; i < before.size(); ++i) {
            EXPECT_EQ(readBytes(dir.path(before[i])), contents[i]) << before[i] << " changed";
        }
    }

    ScratchDir dir;
    std::string good;
};

TEST_F(CliRefuses, MissingInput) {
    expectRefused({dir.path("nothing.wav"), dir.path("out.wav")}, "No such file");
}

TEST_F(CliRefuses, UnreadableInput) {
    mkdir(dir.path("folder.wav").c_str(), 0755);
    expectRefused({dir.path("folder.wav"), dir.path("out.wav")}, "is a directory");
    if (geteuid() != 0) {  // root reads files whatever their mode
        writeBytes(dir.path("locked.wav"), good);
        chmod(dir.path("locked.wav").c_str(), 0);
        expectRefused({dir.path("locked.wav"), dir.path("out.wav")}, "Permission denied");
    }
}

TEST_F(CliRefuses, TruncatedInput) {
    writeBytes(dir.path("cut.wav"), good.substr(0, good.size() / 2));
    expectRefused({dir.path("cut.wav"), dir.path("out.wav")}, "truncated");
    writeBytes(dir.path("header-only.wav"), good.substr(0, 30));
    expectRefused({dir.path("header-only.wav"), dir.path("out.wav")}, "truncated");
}

TEST_F(CliRefuses, UnsupportedInput) {
    writeBytes(dir.path("notes.wav"), "these are not audio samples, just some text\n");
    expectRefused({dir.path("notes.wav"), dir.path("out.wav")}, "not in a supported audio format");
    writeBytes(dir.path("empty.flac"), "");
    expectRefused({dir.path("empty.flac"), dir.path("out.wav")}, "empty.flac");
}

TEST_F(CliRefuses, UnwritableOutput) {
    expectRefused({dir.path("good.wav"), dir.path("no-such-folder/out.wav")},
                  "cannot write output");
    mkdir(dir.path("taken").c_str(), 0755);
    expectRefused({dir.path("good.wav"), dir.path("taken")}, "is a directory");
    // Renaming onto a device would replace it: refused before anything runs.
    expectRefused({dir.path("good.wav"), "/dev/null"}, "not a regular file");
}

TEST_F(CliRefuses, FailedWriteLeavesNothingBehind) {
    // The output (about 96 kB) cannot grow past 20 kB: the write fails part
    // way, as on a full disk.
    writeBytes(dir.path("out.wav"), "previous result");
    expectRefused({dir.path("good.wav"), dir.path("out.wav")}, "cannot write output", 20000);
}

TEST_F(CliRefuses, ReadOnlyOutput) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes files whatever their mode";
    writeBytes(dir.path("out.wav"), "protected");
    chmod(dir.path("out.wav").c_str(), 0444);
    expectRefused({dir.path("good.wav"), dir.path("out.wav")}, "Permission denied");
}

TEST_F(CliRefuses, OutputIsTheInput) {
    expectRefused({dir.path("good.wav"), dir.path("good.wav")}, "same file as the input");
    mkdir(dir.path("sub").c_str(), 0755);
    expectRefused({dir.path("good.wav"), dir.path("sub/../good.wav")}, "same file as the input");
    ASSERT_EQ(symlink("good.wav", dir.path("alias.wav").c_str()), 0);
    expectRefused({dir.path("good.wav"), dir.path("alias.wav")}, "same file as the input");
    ASSERT_EQ(link(dir.path("good.wav").c_str(), dir.path("hard.wav").c_str()), 0);
    expectRefused({dir.path("hard.wav"), dir.path("good.wav")}, "same file as the input");
}

TEST_F(CliRefuses, ExistingOutputSurvivesAFailure) {
    writeBytes(dir.path("out.wav"), "previous result");
    writeBytes(dir.path("cut.wav"), good.substr(0, good.size() / 2));
    expectRefused({dir.path("cut.wav"), dir.path("out.wav")}, "truncated");
}

TEST(Cli, InterruptedRunLeavesNoOutput) {
    // Long enough that the run is still going when the signal comes; the
    // signal is sent as soon as the temporary output exists.
    ScratchDir dir, logs;
    Audio a;
    a.rate = 8000;
    a.channels = 1;
    a.frames.assign(8000 * 60 * 20, 0.01f);
    writeAudio(dir.path("long.wav"), a, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeBytes(dir.path("out.wav"), "previous result");
    pid_t pid = start({dir.path("long.wav"), dir.path("out.wav")}, logs.path("o"), logs.path("e"));
    bool started = false;
    for (int i = 0; i < 3000 && !started; ++i) {
        started = dir.entries().size() > 2;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGINT);
    int status = waitFor(pid);
    ASSERT_TRUE(started) << "no temporary output appeared";
    EXPECT_EQ(status, 130) << readBytes(logs.path("e"));
    EXPECT_NE(readBytes(logs.path("e")).find("interrupted"), std::string::npos);
    EXPECT_EQ(readBytes(dir.path("out.wav")), "previous result");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"long.wav", "out.wav"}));
}

}  // namespace
}  // namespace sonvale::denoise
