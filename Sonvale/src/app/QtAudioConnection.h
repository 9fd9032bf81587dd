// Qt's own connection to the audio server, as far as the program needs to
// steer it.
//
// Qt 5's PulseAudio plugin keeps one connection per process. When the server
// goes away, the plugin closes every stream (from its own thread of events,
// while the play loop may still be writing to its output), and tries to
// connect again once, three seconds later; should no server answer then, it
// never tries again, and no audio object of the process works any more. This
// watcher sees the plugin's failure notice arrive before the plugin handles
// it, so the window can close both paths first, and it can ask the plugin to
// connect again once a server is back.
//
// GUI thread only; the plugin's object lives there (it is created on first
// use of the device lists).
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <functional>

class QtAudioConnection : public QObject {
public:
    // `lost` runs on the GUI thread, before the plugin acts on a lost
    // connection; it may close streams.
    QtAudioConnection(QObject* parent, std::function<void()> lost);
    ~QtAudioConnection() override;

    // Asks the plugin to connect to the server again, unless its own attempt
    // may still be pending (less than its retry time since it lost the
    // connection or was last asked). Call only when the plugin is known not
    // to be connected. Returns whether it asked.
    bool reconnect();
    // Whether the plugin's connection object has been seen (its first loss).
    bool knowsPlugin() const { return !engine_.isNull(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::function<void()> lost_;
    QPointer<QObject> engine_;
    QElapsedTimer lastAttempt_;
    bool ownCallQueued_ = false;  // the next call the object receives is reconnect()'s
};
