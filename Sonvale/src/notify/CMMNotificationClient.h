// CMMNotificationClient: follows audio endpoints being plugged, unplugged,
// enabled or disabled and tells the main window through queued calls of its
// slots, by name:
//   NotifyRemoveSpeaker(int nkindStat, QString strName)
//   NotifyRemoveMicroppone(int nkindStat, QString strName)
//   NotifySetStat(int nkindStat, QString strName)
// nkindStat is 1 active, 2 disabled, 4 not present, 8 unplugged; strName the
// endpoint's friendly name. The slots always run on the target's own thread.
//
// Ownership: the main window creates one client in the GUI thread, after its
// EndpointDirectory is filled, and keeps it (or deletes it before the
// directory goes). The client owns the OS watcher and the forwarder; it
// borrows the directory, which it reads to classify endpoints and updates as
// they come and go.
//
// Threads: construct, set the target and destroy on the GUI thread. The OS
// watcher runs on its own thread and only posts queued calls; the destructor
// stops it and waits for it. A missing audio server means no notifications,
// never a failure; on Linux the watcher reconnects when the server returns.
#pragma once

#include <QObject>
#include <QThread>
#include <memory>
#include <mutex>

#include "Endpoint.h"
#include "EndpointNotification.h"

namespace sonvale {
class EndpointDirectory;
}

class CMMNotificationClient : public QThread {
public:
    // Registers with the OS watcher. `endpoints` may be null (then every
    // endpoint is classified by its data flow alone).
    explicit CMMNotificationClient(sonvale::EndpointDirectory* endpoints);
    // Same with a given watcher (tests).
    CMMNotificationClient(sonvale::EndpointDirectory* endpoints,
                          std::unique_ptr<sonvale::EndpointWatcher> watcher);
    ~CMMNotificationClient() override;

    // The object whose slots receive the calls (the main window). While it
    // is null nothing is forwarded. The target is cleared automatically when
    // it is destroyed.
    void setMainWindow(QObject* target);
    QObject* mainWindow() const;

    // What the watcher reported when it started.
    sonvale::EndpointWatcher::StartResult startResult() const { return started_; }

private:
    class Invoker;
    void init(std::unique_ptr<sonvale::EndpointWatcher> watcher);

    mutable std::mutex targetMutex_;  // guards target_ against a concurrent post
    QObject* target_ = nullptr;
    QMetaObject::Connection targetDestroyed_;
    std::unique_ptr<Invoker> invoker_;
    std::unique_ptr<sonvale::EndpointChangeForwarder> forwarder_;
    std::unique_ptr<sonvale::EndpointWatcher> watcher_;
    sonvale::EndpointDirectory* endpoints_;
    sonvale::EndpointWatcher::StartResult started_;
};
