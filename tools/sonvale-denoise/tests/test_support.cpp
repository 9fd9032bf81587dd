#include "test_support.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace sonvale::denoise::test {

namespace fs = std::filesystem;

void DelayProcessor::process(const int16_t* in, int16_t* out) {
    for (int i = 0; i < kBlockSamples; ++i) {
        line_.push_back(in[i]);
        out[i] = line_.front();
        line_.pop_front();
    }
}

ProcessorFactory delayFactory(int delay, std::vector<DelayProcessor*>* made) {
    return [delay, made]() -> std::unique_ptr<BlockProcessor> {
        auto p = std::make_unique<DelayProcessor>(delay);
        if (made) made->push_back(p.get());
        return p;
    };
}

std::vector<float> pcm16Noise(size_t n, unsigned seed) {
    std::vector<float> x(n);
    for (auto& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<int16_t>(seed >> 16)) / 32768.0f;
    }
    return x;
}

ScratchDir::ScratchDir() {
    std::string templ = (fs::temp_directory_path() / "sonvale-denoise-test-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) ADD_FAILURE() << "cannot create a scratch folder";
    dir_ = buf.data();
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    // Restore permissions a test may have taken away, so removal works.
    for (auto& e : fs::directory_iterator(dir_, ec)) {
        fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
}

std::vector<std::string> ScratchDir::entries() const {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<float> Audio::channel(int c) const {
    std::vector<float> out(static_cast<size_t>(size()));
    for (size_t i = 0; i < out.size(); ++i) out[i] = frames[i * channels + c];
    return out;
}

void writeAudio(const std::string& path, const Audio& audio, int format) {
    SF_INFO info{};
    info.samplerate = audio.rate;
    info.channels = audio.channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << "cannot write " << path << ": " << sf_strerror(nullptr);
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    sf_count_t n = audio.size();
    EXPECT_EQ(sf_writef_float(f, audio.frames.data(), n), n);
    sf_close(f);
}

Audio readAudio(const std::string& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
        return a;
    }
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    a.frames.resize(static_cast<size_t>(info.frames) * info.channels);
    sf_count_t got = sf_readf_float(f, a.frames.data(), info.frames);
    a.frames.resize(static_cast<size_t>(got) * info.channels);
    sf_close(f);
    return a;
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string corpusDir() { return SONVALE_CORPUS_DIR; }

std::vector<float> corpusSpeech(int index) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(fs::path(corpusDir()) / "mixtures", ec)) {
        std::string n = e.path().filename().string();
        if (n.size() > 10 && n.substr(n.size() - 10) == "_clean.wav") names.push_back(n);
    }
    if (names.empty()) return {};
    std::sort(names.begin(), names.end());
    Audio a =
        readAudio((fs::path(corpusDir()) / "mixtures" / names[index % names.size()]).string());
    return a.channel(0);
}

std::vector<float> testTone(int rate, int64_t frames, double top_hz, double phase) {
    std::vector<float> x(static_cast<size_t>(frames));
    const double pi = 3.14159265358979323846;
    const double f[] = {0.11 * top_hz, 0.37 * top_hz, 0.83 * top_hz};
    const double centre = 0.5 * frames, width = 0.002 * rate + 1;
    for (int64_t n = 0; n < frames; ++n) {
        double t = static_cast<double>(n) / rate, v = 0;
        for (int k = 0; k < 3; ++k) v += 0.2 * std::sin(2 * pi * f[k] * t + phase * (k + 1));
        double d = (n - centre) / width;
        v += 0.3 * std::exp(-d * d);
        x[n] = static_cast<float>(v);
    }
    return x;
}

int crossCorrelationPeak(const std::vector<float>& a, const std::vector<float>& b, int max_lag,
                         double* peak_value) {
    const int64_t n = static_cast<int64_t>(std::min(a.size(), b.size()));
    const int64_t win = std::min<int64_t>(16384, n - 2 * max_lag);
    if (win <= 0) return 0;
    // The loudest window of `a` (coarse steps), kept max_lag from both ends.
    int64_t best_start = max_lag;
    double best_e = -1;
    for (int64_t s = max_lag; s + win + max_lag <= n; s += 1024) {
        double e = 0;
        for (int64_t i = s; i < s + win; ++i) e += double(a[i]) * a[i];
        if (e > best_e) best_e = e, best_start = s;
    }
    double ea = 0;
    for (int64_t i = best_start; i < best_start + win; ++i) ea += double(a[i]) * a[i];
    int best_lag = 0;
    double best = -2;
    for (int lag = -max_lag; lag <= max_lag; ++lag) {
        double c = 0, eb = 0;
        for (int64_t i = best_start; i < best_start + win; ++i) {
            double v = b[i + lag];
            c += double(a[i]) * v;
            eb += v * v;
        }
        double r = (ea > 0 && eb > 0) ? c / std::sqrt(ea * eb) : 0;
        if (r > best) best = r, best_lag = lag;
    }
    if (peak_value) *peak_value = best;
    return best_lag;
}

double snrDb(const std::vector<float>& ref, const std::vector<float>& out, int64_t from,
             int64_t to) {
    double s = 0, e = 0;
    for (int64_t i = from; i < to; ++i) {
        s += double(ref[i]) * ref[i];
        double d = double(out[i]) - ref[i];
        e += d * d;
    }
    if (e == 0) return 999;
    return 10 * std::log10(s / e);
}

}  // namespace sonvale::denoise::test
