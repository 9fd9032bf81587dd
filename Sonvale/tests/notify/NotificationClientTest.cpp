// CMMNotificationClient with the real PulseAudio watcher: endpoint changes
// arrive as queued calls of the target's slots, on the target's thread.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CMMNotificationClient.h"
#include "EndpointDirectory.h"

namespace {

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string Dir() { return std::getenv("SONVALE_PULSE_DIR"); }

std::string LoadNullSink(const std::string& name) {
    return Shell("pactl load-module module-null-sink sink_name=" + name);
}
std::string LoadPipeSource(const std::string& name) {
    return Shell("pactl load-module module-pipe-source source_name=" + name + " file=" + Dir() +
                 "/" + name + ".fifo format=s16le rate=48000 channels=2");
}
void Unload(const std::string& module) { Shell("pactl unload-module " + module); }

// Processes events until `done` holds. The limit only keeps a broken build
// from hanging.
template <typename F>
bool ProcessUntil(F done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 60000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace

// Stands in for the main window: the three slots with the window's
// signatures.
class Target : public QObject {
    Q_OBJECT
public:
    struct Call {
        std::string slot;
        int state;
        QString name;
        bool onTargetThread;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;

public slots:
    void NotifyRemoveSpeaker(int nkindStat, QString strName) {
        record("NotifyRemoveSpeaker", nkindStat, strName);
    }
    void NotifyRemoveMicroppone(int nkindStat, QString strName) {
        record("NotifyRemoveMicroppone", nkindStat, strName);
    }
    void NotifySetStat(int nkindStat, QString strName) {
        record("NotifySetStat", nkindStat, strName);
    }

private:
    void record(const char* slot, int state, const QString& name) {
        calls.push_back({slot, state, name, QThread::currentThread() == thread()});
    }
};

void PrintTo(const Target::Call& c, std::ostream* os) {
    *os << c.slot << "(" << c.state << ", " << c.name.toStdString() << ")"
        << (c.onTargetThread ? "" : " on another thread");
}

TEST(NotificationClient, ChangesArriveAsQueuedSlotCalls) {
    const std::string knownMic = LoadPipeSource("sv_known_mic");
    sonvale::EndpointDirectory directory;
    Target target;
    CMMNotificationClient client(&directory);
    ASSERT_TRUE(client.startResult().registered);
    client.setMainWindow(&target);
    EXPECT_EQ(client.mainWindow(), &target);

    const std::string sink = LoadNullSink("sv_new_sink");
    const std::string mic = LoadPipeSource("sv_new_mic");
    Unload(sink);
    Unload(mic);
    Unload(knownMic);
    const std::vector<Target::Call> expected = {
        {"NotifyRemoveSpeaker", 1, "sv_new_sink", true},
        {"NotifyRemoveMicroppone", 1, "sv_new_mic", true},
        {"NotifyRemoveSpeaker", 4, "sv_new_sink", true},
        {"NotifySetStat", 4, "sv_new_mic", true},
        {"NotifySetStat", 4, "sv_known_mic", true},
    };
    ASSERT_TRUE(ProcessUntil([&] { return target.calls.size() >= expected.size(); }));
    EXPECT_EQ(target.calls, expected);
}

TEST(NotificationClient, NothingIsForwardedWithoutATarget) {
    sonvale::EndpointDirectory directory;
    auto target = std::make_unique<Target>();
    CMMNotificationClient client(&directory);
    // Before the target is set: the directory learns the sink, no call.
    LoadNullSink("sv_early");
    ASSERT_TRUE(ProcessUntil(
        [&] { return directory.Classify(L"sv_early", L"sv_early") == sonvale::kClassRender; }));
    client.setMainWindow(target.get());
    LoadNullSink("sv_late");
    ASSERT_TRUE(ProcessUntil([&] { return !target->calls.empty(); }));
    EXPECT_EQ(target->calls[0], (Target::Call{"NotifyRemoveSpeaker", 1, "sv_late", true}));

    // A destroyed target is let go of; changes after it are dropped safely.
    target.reset();
    EXPECT_EQ(client.mainWindow(), nullptr);
    LoadNullSink("sv_after_target");
    EXPECT_TRUE(ProcessUntil([&] {
        return directory.Classify(L"sv_after_target", L"sv_after_target") == sonvale::kClassRender;
    }));
    QCoreApplication::processEvents();
}

TEST(NotificationClient, DestroyingTheClientWhileChangesFlowStopsCleanly) {
    sonvale::EndpointDirectory directory;
    Target target;
    // Loads and unloads keep coming while clients come and go.
    Shell(
        "(for i in $(seq 1 30); do m=$(pactl load-module module-null-sink "
        "sink_name=sv_churn_$i); pactl unload-module $m; done) >/dev/null 2>&1 &");
    for (int i = 0; i < 10; ++i) {
        CMMNotificationClient client(&directory);
        client.setMainWindow(&target);
        // Destroyed with this change on its way in.
        Shell("pactl load-module module-null-sink sink_name=sv_own_" + std::to_string(i) +
              " >/dev/null");
        QCoreApplication::processEvents();
    }
    // Calls already queued may still be delivered; they are whole calls.
    QCoreApplication::processEvents();
    for (const auto& c : target.calls) EXPECT_TRUE(c.onTargetThread);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    if (!std::getenv("PULSE_SERVER") || !std::getenv("SONVALE_PULSE_DIR")) {
        std::fprintf(stderr, "run under with-private-pulse\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}

#include "NotificationClientTest.moc"
