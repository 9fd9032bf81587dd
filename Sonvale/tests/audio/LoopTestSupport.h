// Pieces shared by the capture and play loop tests.
#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <cstdlib>
#include <string>
#include <vector>

#include "PulseRig.h"
#include "platform/DriverLink.h"

namespace sonvale::test {

// The companion driver opened the way the main window opens it.
inline bool openDriver(DriverDevice& driver) {
    wchar_t path[kDriverPathCapacity] = {};
    return findDriverInterface(path, 0) && driver.open(path);
}

// The noisy and clean versions of one corpus mixture, 48000 Hz mono.
struct Mixture {
    Samples noisy, clean;
};
inline Mixture loadMixture(const std::string& stem) {
    // Without the corpus: the input the build made (SONVALE_TEST_NOISY).
    if (const char* made = std::getenv("SONVALE_TEST_NOISY"); made && made[0] != '\0') {
        const std::string noisy(made);
        return {readWav(noisy), readWav(noisy.substr(0, noisy.size() - 10) + "_clean.wav")};
    }
    return {readWav(corpusPath("mixtures/" + stem + "_noisy.wav")),
            readWav(corpusPath("mixtures/" + stem + "_clean.wav"))};
}
// A mixture with steady noise under it (fan hum).
inline const char* kSteadyMixture = "007_vctk_p232_013_M__fanhum_01__snr10";
constexpr std::size_t kLeadIn = 24000;  // 0.5 s of noise before the speech

// Expects `output` (one channel of a recording) to hold `input` whole and
// unchanged somewhere.
inline void expectHoldsExactly(const Samples& output, const Samples& input) {
    ASSERT_GT(input.size(), 9600u);
    const Samples needle(input.begin() + 4800, input.begin() + 7200);
    const long at = findExact(output, needle);
    ASSERT_GE(at, 4800) << "the input does not occur unchanged in the output";
    ASSERT_GE(output.size(), static_cast<size_t>(at - 4800) + input.size())
        << "the recording ends before the input does";
    EXPECT_EQ(matchingRun(output, at - 4800, input), input.size())
        << "the output differs from the input after the first "
        << matchingRun(output, at - 4800, input) << " samples";
}

// Noise drop in the lead-in and presence of the speech, for an output that
// carries `mix.noisy` processed twice in a row. The second pass is measured:
// a microphone delivers its room's noise all along, while the stand-in one
// starts from digital silence, which the noise tracker needs a while to forget.
struct SuppressionResult {
    double leadInDropDb = 0;  // noise energy, input minus output
    double speechCorr = 0;    // with the clean speech, aligned
    double speechLossDb = 0;  // speech-part energy, clean minus output
};
inline Samples twice(const Samples& s) {
    Samples out(s);
    out.insert(out.end(), s.begin(), s.end());
    return out;
}
inline SuppressionResult measureSuppression(const Samples& output, const Mixture& mix) {
    SuppressionResult r;
    const long onset = firstNonZero(output);
    if (onset < 0) return r;
    // Align on the speech of the second pass, which the suppression keeps.
    const Samples speech(mix.clean.begin() + kLeadIn, mix.clean.end());
    const long expected = onset + static_cast<long>(mix.noisy.size() + kLeadIn);
    const long lag = bestLag(output, speech, expected, 4000, speech.size(), &r.speechCorr);
    const long start = lag - static_cast<long>(kLeadIn);  // where the second pass begins
    if (start < 0) return r;
    const std::size_t s = static_cast<std::size_t>(start);
    // Leave out the first 100 ms and the last 50 ms of the lead-in.
    r.leadInDropDb =
        energyDb(mix.noisy, 4800, kLeadIn - 2400) - energyDb(output, s + 4800, s + kLeadIn - 2400);
    r.speechLossDb = energyDb(mix.clean, kLeadIn, mix.clean.size()) -
                     energyDb(output, s + kLeadIn, s + mix.clean.size());
    return r;
}

}  // namespace sonvale::test
