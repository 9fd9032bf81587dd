// denoiseFile and the output format choice, driven with a delay-only
// processor so results can be compared with the input exactly.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include "denoise_core.h"
#include "test_support.h"

namespace sonvale::denoise {
namespace {

using test::Audio;
using test::readAudio;
using test::readBytes;
using test::ScratchDir;
using test::writeAudio;
using test::writeBytes;

Audio noise32k(int channels, int64_t frames) {
    Audio a;
    a.rate = kProcessRate;
    a.channels = channels;
    a.frames = test::pcm16Noise(static_cast<size_t>(frames) * channels, 77);
    return a;
}

FileResult denoise(const std::string& in, const std::string& out) {
    FileJob job;
    job.input = in;
    job.output = out;
    job.factory = test::delayFactory(1023);
    return denoiseFile(job);
}

TEST(FileJob, KeepsFormatRateChannelsAndSamples) {
    ScratchDir dir;
    struct Case {
        const char* name;
        int format;
    };
    for (Case c : {Case{"a.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
                   Case{"b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
                   Case{"c.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
                   Case{"d.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT}}) {
        Audio in = noise32k(2, 12345);
        writeAudio(dir.path(c.name), in, c.format);
        std::string out = dir.path(std::string("out-") + c.name);
        FileResult r = denoise(dir.path(c.name), out);
        ASSERT_TRUE(r.ok) << c.name << ": " << r.error;
        EXPECT_EQ(r.frames, 12345);
        Audio got = readAudio(out);
        EXPECT_EQ(got.format, c.format) << c.name;
        EXPECT_EQ(got.rate, in.rate);
        EXPECT_EQ(got.channels, 2);
        EXPECT_EQ(got.frames, in.frames) << c.name;
    }
}

TEST(FileJob, EmptyAudioGivesAnEmptyFile) {
    ScratchDir dir;
    Audio in;
    in.rate = 44100;
    in.channels = 2;
    writeAudio(dir.path("in.wav"), in, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    FileResult r = denoise(dir.path("in.wav"), dir.path("out.wav"));
    ASSERT_TRUE(r.ok) << r.error;
    Audio got = readAudio(dir.path("out.wav"));
    EXPECT_EQ(got.size(), 0);
    EXPECT_EQ(got.rate, 44100);
    EXPECT_EQ(got.channels, 2);
}

TEST(FileJob, ReplacesAnExistingOutputInPlace) {
    // The old file keeps its mode; a symlink stays a link and its target gets
    // the result.
    ScratchDir dir;
    writeAudio(dir.path("in.wav"), noise32k(1, 5000), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeBytes(dir.path("out.wav"), "old contents");
    chmod(dir.path("out.wav").c_str(), 0640);
    ASSERT_EQ(symlink("out.wav", dir.path("link.wav").c_str()), 0);
    for (const char* name : {"out.wav", "link.wav"}) {
        FileResult r = denoise(dir.path("in.wav"), dir.path(name));
        ASSERT_TRUE(r.ok) << name << ": " << r.error;
        EXPECT_EQ(readAudio(dir.path("out.wav")).size(), 5000) << name;
        struct stat st {};
        ASSERT_EQ(stat(dir.path("out.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
        ASSERT_EQ(lstat(dir.path("link.wav").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself was replaced";
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "link.wav", "out.wav"}));
    }
}

TEST(FileJob, CancelledJobLeavesTheOldOutputAndNoTemporaryFile) {
    ScratchDir dir;
    writeAudio(dir.path("in.wav"), noise32k(1, 50000), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeBytes(dir.path("out.wav"), "keep me");
    std::atomic<bool> stop{false};
    FileJob job;
    job.input = dir.path("in.wav");
    job.output = dir.path("out.wav");
    job.factory = test::delayFactory(1023);
    job.cancel = &stop;
    job.chunk_frames = 1000;
    int calls = 0;
    job.progress = [&](int64_t done, int64_t total, int rate) {
        EXPECT_EQ(total, 50000);
        EXPECT_EQ(rate, kProcessRate);
        EXPECT_EQ(done, 1000 * ++calls);
        if (done >= 20000) stop = true;
    };
    FileResult r = denoiseFile(job);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(calls, 20);
    EXPECT_EQ(readBytes(dir.path("out.wav")), "keep me");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"in.wav", "out.wav"}));
}

TEST(FileJob, TruncatedFlacIsFoundAfterReadingAndNothingIsWritten) {
    // FLAC promises its length in the stream header; a cut file decodes
    // without error until the data stops.
    ScratchDir dir;
    writeAudio(dir.path("full.flac"), noise32k(1, 64000), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::string bytes = readBytes(dir.path("full.flac"));
    writeBytes(dir.path("cut.flac"), bytes.substr(0, bytes.size() / 2));
    FileResult r = denoise(dir.path("cut.flac"), dir.path("out.flac"));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("truncated"), std::string::npos) << r.error;
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"cut.flac", "full.flac"}));
}

TEST(OutputFormat, FollowsTheInputOrTheOutputExtension) {
    const int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const int wavf = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const int flac24 = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    const int vorbis = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    // Same container: exactly the input's format, whatever the name says.
    EXPECT_EQ(chooseOutputFormat(wavf, "x.wav", 48000, 2), wavf);
    EXPECT_EQ(chooseOutputFormat(flac24, "noext", 48000, 2), flac24);
    EXPECT_EQ(chooseOutputFormat(flac24, "x.unknown", 48000, 2), flac24);
    EXPECT_EQ(chooseOutputFormat(wav16, "x.WAV", 48000, 1), wav16);
    // Another container: the same sample type where it fits, else the
    // closest one it takes.
    EXPECT_EQ(chooseOutputFormat(wav16, "x.flac", 48000, 1), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wavf, "x.flac", 48000, 1), flac24);
    EXPECT_EQ(chooseOutputFormat(flac24, "x.wav", 44100, 2), SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(vorbis, "x.wav", 44100, 2), wav16);
    EXPECT_EQ(chooseOutputFormat(wav16, "x.ogg", 44100, 2), vorbis);
}

}  // namespace
}  // namespace sonvale::denoise
