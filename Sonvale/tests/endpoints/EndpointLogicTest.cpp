// The endpoint logic above the OS: the directory's maps and Classify, the
// notification dispatch, the forwarder and the endpoint block, driven by a
// fake backend.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "EndpointDirectory.h"
#include "EndpointNotification.h"
#include "EndpointText.h"

namespace sonvale {
namespace {

// Serves fixed endpoint lists and records the default switches.
struct FakeBackend : EndpointBackend {
    std::vector<EndpointInfo> render, capture;
    std::vector<std::pair<std::wstring, int>>* defaults;
    explicit FakeBackend(std::vector<std::pair<std::wstring, int>>* d) : defaults(d) {}
    std::vector<EndpointInfo> ListActive(int flow) override {
        return flow == kRenderFlow ? render : capture;
    }
    EndpointResult SetDefault(const std::wstring& id, int flow) override {
        defaults->push_back({id, flow});
        return kEndpointOk;
    }
    int SetCaptureVolume(bool, float, const std::wstring&) override { return 0; }
};

struct Call {
    std::string slot;
    int state;
    std::wstring name;
    bool operator==(const Call&) const = default;
};

struct RecordingInvoker : EndpointSlotInvoker {
    std::vector<Call> calls;
    void Invoke(const char* slot, int state, const std::wstring& name) override {
        calls.push_back({slot, state, name});
    }
};

class DirectoryTest : public ::testing::Test {
protected:
    // Render: two "Speakers" (first enumerated must win), one headset.
    // Capture: two "Mic" and the two virtual microphones.
    void SetUp() override {
        auto backend = std::make_unique<FakeBackend>(&defaults);
        backend->render = {{L"Speakers", L"{r1}"}, {L"Speakers", L"{r2}"}, {L"Headset", L"{r3}"}};
        backend->capture = {{L"Mic", L"{c1}"},
                            {L"Mic", L"{c2}"},
                            {L"Sonvale Microphone", L"{c3}"},
                            {L"Headset", L"{c4}"}};
        directory = std::make_unique<EndpointDirectory>(std::move(backend));
    }
    std::vector<std::pair<std::wstring, int>> defaults;
    std::unique_ptr<EndpointDirectory> directory;
};

TEST_F(DirectoryTest, ClassifyMatchesNameAndIdExactly) {
    struct Case {
        std::wstring name, id;
        int expected;
    } cases[] = {
        {L"Speakers", L"{r1}", kClassRender},
        {L"Speakers", L"{r2}", kClassNeither},  // same name, enumerated later: not kept
        {L"Mic", L"{c1}", kClassCapture},
        {L"Mic", L"{c2}", kClassNeither},
        {L"Headset", L"{r3}", kClassRender},  // the name is in both maps
        {L"Headset", L"{c4}", kClassCapture},
        {L"Headset", L"{zz}", kClassNeither},  // the name now belongs to another endpoint
        {L"Speakers", L"{c1}", kClassNeither},
        {L"speakers", L"{r1}", kClassNeither},  // names are case-sensitive
        {L"", L"", kClassNeither},
        {L"Unknown", L"{u}", kClassNeither},
    };
    for (const auto& c : cases)
        EXPECT_EQ(directory->Classify(c.name, c.id), c.expected)
            << EndpointUtf8FromWide(c.name) << " " << EndpointUtf8FromWide(c.id);
}

TEST_F(DirectoryTest, SetDefaultByNameUsesTheFirstEnumeratedAndIgnoresUnknownNames) {
    directory->SetDefaultByName(L"Speakers", 0);
    directory->SetDefaultByName(L"Mic", 1);
    directory->SetDefaultByName(L"Headset", 7);  // any flow but 0 is capture
    directory->SetDefaultByName(L"", 0);
    directory->SetDefaultByName(L"", 1);
    directory->SetDefaultByName(L"Absent", 0);
    directory->SetDefaultByName(L"Mic", 0);  // capture name asked as render
    const std::vector<std::pair<std::wstring, int>> expected = {
        {L"{r1}", 0}, {L"{c1}", 1}, {L"{c4}", 1}};
    EXPECT_EQ(defaults, expected);
}

TEST_F(DirectoryTest, LoadRebuildsFromWhatTheBackendReportsNow) {
    EndpointDirectory empty{nullptr};  // no backend: nothing known, nothing done
    EXPECT_TRUE(empty.Entries(0).empty());
    EXPECT_TRUE(empty.Entries(1).empty());
    empty.SetDefaultByName(L"Speakers", 0);
    EXPECT_EQ(empty.Classify(L"Speakers", L"{r1}"), kClassNeither);

    EXPECT_EQ(directory->Entries(0).size(), 2u);
    EXPECT_EQ(directory->Entries(1).size(), 3u);
    directory->Load(0);  // reloading does not accumulate
    EXPECT_EQ(directory->Entries(0).size(), 2u);
}

TEST(Dispatch, WholeTable) {
    struct Case {
        int known, flow, state;
        const char* slot;
    } cases[] = {
        // Endpoints the directory knows: their class decides, whatever the
        // flow the OS reports.
        {kClassRender, kUnknownFlow, 1, kSlotRemoveSpeaker},
        {kClassRender, kRenderFlow, 2, kSlotRemoveSpeaker},
        {kClassRender, kCaptureFlow, 4, kSlotRemoveSpeaker},
        {kClassRender, kRenderFlow, 8, kSlotRemoveSpeaker},
        {kClassCapture, kCaptureFlow, 1, kSlotRemoveMicrophone},
        {kClassCapture, kUnknownFlow, 1, kSlotRemoveMicrophone},
        {kClassCapture, kCaptureFlow, 2, kSlotSetStat},
        {kClassCapture, kCaptureFlow, 4, kSlotSetStat},
        {kClassCapture, kRenderFlow, 8, kSlotSetStat},
        // Unknown endpoints go by their real data flow.
        {kClassNeither, kRenderFlow, 1, kSlotRemoveSpeaker},
        {kClassNeither, kRenderFlow, 4, kSlotRemoveSpeaker},
        {kClassNeither, kCaptureFlow, 1, kSlotRemoveMicrophone},
        {kClassNeither, kCaptureFlow, 8, kSlotSetStat},
        {kClassNeither, kCaptureFlow, 2, kSlotSetStat},
        // Flow unknown as well: the speaker list, as the window expects.
        {kClassNeither, kUnknownFlow, 1, kSlotRemoveSpeaker},
        {kClassNeither, kUnknownFlow, 8, kSlotRemoveSpeaker},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(DispatchEndpointChange(c.known, c.flow, c.state), c.slot)
            << c.known << "/" << c.flow << "/" << c.state;
}

TEST(EndpointBlock, Formatting) {
    const std::wstring name = L"Mikrofon (Sonvale) \u63a5\u53e3";
    const std::wstring id = L"{0.0.1.00000000}.{abc}";
    EXPECT_EQ(
        FormatEndpointBlock(&name, &id),
        "----------------------\nDevice name: \"Mikrofon (Sonvale) \xe6\x8e\xa5\xe5\x8f\xa3\"\n"
        "  Endpoint ID string: \"{0.0.1.00000000}.{abc}\"\n");
    EXPECT_EQ(FormatEndpointBlock(nullptr, nullptr),
              "----------------------\nDevice name: \"null device\"\n"
              "  Endpoint ID string: \"null ID\"\n");
    EXPECT_EQ(FormatEndpointBlock(nullptr, &id).find("\"null device\""), 36u);
}

// Reads back what the forwarder wrote.
std::string Contents(std::FILE* f) {
    std::string out;
    std::rewind(f);
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

EndpointEvent Event(const std::wstring& name, const std::wstring& id, int flow, int state) {
    EndpointEvent e;
    e.hasId = e.resolved = true;
    e.name = name;
    e.id = id;
    e.flow = flow;
    e.state = state;
    return e;
}

TEST_F(DirectoryTest, ForwarderFollowsEndpointsThatComeAndGo) {
    RecordingInvoker invoker;
    std::FILE* out = std::tmpfile();
    EndpointChangeForwarder forwarder(directory.get(), &invoker, out);
    struct Step {
        EndpointEvent event;
        Call expected;
    } steps[] = {
        // Known endpoints.
        {Event(L"Headset", L"{r3}", kRenderFlow, 2), {kSlotRemoveSpeaker, 2, L"Headset"}},
        {Event(L"Mic", L"{c1}", kCaptureFlow, 8), {kSlotSetStat, 8, L"Mic"}},
        // Back again: forgotten on the way out, learnt from its real flow.
        {Event(L"Mic", L"{c1}", kCaptureFlow, 1), {kSlotRemoveMicrophone, 1, L"Mic"}},
        {Event(L"Headset", L"{r3}", kRenderFlow, 1), {kSlotRemoveSpeaker, 1, L"Headset"}},
        // A microphone plugged in after start-up goes to the microphone list.
        {Event(L"USB Mic", L"{c9}", kCaptureFlow, 1), {kSlotRemoveMicrophone, 1, L"USB Mic"}},
        {Event(L"USB Mic", L"{c9}", kCaptureFlow, 4), {kSlotSetStat, 4, L"USB Mic"}},
        // The second "Speakers" is not the one the directory keeps; it is
        // still a render endpoint.
        {Event(L"Speakers", L"{r2}", kRenderFlow, 4), {kSlotRemoveSpeaker, 4, L"Speakers"}},
    };
    for (const auto& s : steps) {
        invoker.calls.clear();
        forwarder.OnEndpointStateChanged(s.event);
        ASSERT_EQ(invoker.calls.size(), 1u) << EndpointUtf8FromWide(s.event.name);
        EXPECT_EQ(invoker.calls[0], s.expected) << EndpointUtf8FromWide(s.event.name);
    }
    // The directory kept up: the first "Speakers" survived the removal of
    // its namesake, "Mic" and "Headset" are back, "USB Mic" is gone again.
    EXPECT_EQ(directory->Classify(L"Speakers", L"{r1}"), kClassRender);
    EXPECT_EQ(directory->Classify(L"Mic", L"{c1}"), kClassCapture);
    EXPECT_EQ(directory->Classify(L"Headset", L"{r3}"), kClassRender);
    EXPECT_EQ(directory->Classify(L"USB Mic", L"{c9}"), kClassNeither);
    defaults.clear();
    directory->SetDefaultByName(L"Mic", 1);
    directory->SetDefaultByName(L"USB Mic", 1);
    ASSERT_EQ(defaults.size(), 1u);
    EXPECT_EQ(defaults[0].first, L"{c1}");

    if (out) {
        const std::string text = Contents(out);
        EXPECT_NE(text.find("Device name: \"USB Mic\"\n  Endpoint ID string: \"{c9}\"\n"),
                  std::string::npos);
        size_t lines = 0;
        for (size_t p = text.find("OnDeviceStateChanged\n"); p != std::string::npos;
             p = text.find("OnDeviceStateChanged\n", p + 1))
            ++lines;
        EXPECT_EQ(lines, std::size(steps));
        std::fclose(out);
    }
}

TEST_F(DirectoryTest, ForwarderLearnsANewEndpointOnlyWhileItsNameIsFree) {
    RecordingInvoker invoker;
    EndpointChangeForwarder forwarder(directory.get(), &invoker, nullptr);
    // A second "Mic" arrives while the first is there: the name stays with
    // the first, the newcomer still reaches the microphone list.
    forwarder.OnEndpointStateChanged(Event(L"Mic", L"{c7}", kCaptureFlow, 1));
    EXPECT_EQ(directory->Classify(L"Mic", L"{c1}"), kClassCapture);
    EXPECT_EQ(directory->Classify(L"Mic", L"{c7}"), kClassNeither);
    // Once the first has gone, the newcomer can take the name.
    forwarder.OnEndpointStateChanged(Event(L"Mic", L"{c1}", kCaptureFlow, 4));
    forwarder.OnEndpointStateChanged(Event(L"Mic", L"{c7}", kCaptureFlow, 1));
    EXPECT_EQ(directory->Classify(L"Mic", L"{c7}"), kClassCapture);
    const std::vector<Call> expected = {{kSlotRemoveMicrophone, 1, L"Mic"},
                                        {kSlotSetStat, 4, L"Mic"},
                                        {kSlotRemoveMicrophone, 1, L"Mic"}};
    EXPECT_EQ(invoker.calls, expected);
}

TEST(Forwarder, UnresolvedEndpointsAreOnlyWrittenOut) {
    RecordingInvoker invoker;
    std::FILE* out = std::tmpfile();
    EndpointChangeForwarder forwarder(nullptr, &invoker, out);
    EndpointEvent noId;  // the OS passed no id and the name could not be read
    noId.state = 1;
    forwarder.OnEndpointStateChanged(noId);
    EndpointEvent noName;
    noName.hasId = true;
    noName.id = L"{gone}";
    noName.state = 4;
    forwarder.OnEndpointStateChanged(noName);
    EXPECT_TRUE(invoker.calls.empty());
    // Without a directory, a resolved endpoint is still dispatched by flow;
    // without an invoker nothing happens.
    forwarder.OnEndpointStateChanged(Event(L"Mic", L"{c1}", kCaptureFlow, 1));
    EndpointChangeForwarder silent(nullptr, nullptr, nullptr);
    silent.OnEndpointStateChanged(Event(L"Mic", L"{c1}", kCaptureFlow, 1));
    ASSERT_EQ(invoker.calls.size(), 1u);
    EXPECT_EQ(invoker.calls[0], (Call{kSlotRemoveMicrophone, 1, L"Mic"}));
    if (out) {
        const std::string text = Contents(out);
        EXPECT_NE(text.find("Device name: \"null device\"\n  Endpoint ID string: \"null ID\"\n"),
                  std::string::npos);
        EXPECT_NE(text.find("Device name: \"null device\"\n  Endpoint ID string: \"{gone}\"\n"),
                  std::string::npos);
        std::fclose(out);
    }
}

TEST(CaptureVolume, PercentToScalar) {
    struct Case {
        float percent, scalar;
    } cases[] = {{50, 0.5f}, {0, 0}, {100, 1}, {12.5f, 0.125f}, {-3, 0}, {250, 1}};
    for (const auto& c : cases) EXPECT_FLOAT_EQ(CaptureVolumeScalar(c.percent), c.scalar);
    EXPECT_LT(CaptureVolumeScalar(std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(EndpointText, Utf8AndWide) {
    struct Case {
        std::string utf8;
        std::wstring wide;
    } roundTrip[] = {
        {"", L""},
        {"Sonvale_Microphone", L"Sonvale_Microphone"},
        {"\xe6\x8e\xa5\xe5\x8f\xa3 caf\xc3\xa9", L"\u63a5\u53e3 caf\u00e9"},
        {"\xf0\x9f\x8e\xa4 mic", L"\U0001F3A4 mic"},
    };
    for (const auto& c : roundTrip) {
        EXPECT_EQ(EndpointWideFromUtf8(c.utf8), c.wide) << c.utf8;
        EXPECT_EQ(EndpointUtf8FromWide(c.wide), c.utf8) << c.utf8;
    }
    struct Bad {
        std::string utf8;
        std::wstring wide;
    } bad[] = {
        {"a\xff"
         "b",
         L"a\uFFFDb"},
        {"a\xe6\x8e", L"a\uFFFD"},  // cut short at the end
        {"\xe6\x8e"
         "b",
         L"\uFFFDb"},                   // cut short before ASCII
        {"\xc0\xaf", L"\uFFFD"},        // overlong
        {"\xed\xa0\x80", L"\uFFFD"},    // encoded surrogate
        {"\x80\x80", L"\uFFFD\uFFFD"},  // stray continuation bytes
    };
    for (const auto& c : bad) EXPECT_EQ(EndpointWideFromUtf8(c.utf8), c.wide) << c.utf8;
}

}  // namespace
}  // namespace sonvale
