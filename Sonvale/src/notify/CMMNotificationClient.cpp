#include "CMMNotificationClient.h"

#include <QString>
#include <iostream>

#include "EndpointDirectory.h"

// Posts the forwarder's slot calls to the target's thread. Holding the
// target lock while posting means the target cannot be cleared (and then
// destroyed) between reading the pointer and posting to it.
class CMMNotificationClient::Invoker final : public sonvale::EndpointSlotInvoker {
public:
    explicit Invoker(CMMNotificationClient* client) : client_(client) {}
    void Invoke(const char* slot, int state, const std::wstring& name) override {
        std::lock_guard lock(client_->targetMutex_);
        if (!client_->target_) return;
        QMetaObject::invokeMethod(client_->target_, slot, Qt::QueuedConnection, Q_ARG(int, state),
                                  Q_ARG(QString, QString::fromStdWString(name)));
    }

private:
    CMMNotificationClient* client_;
};

CMMNotificationClient::CMMNotificationClient(sonvale::EndpointDirectory* endpoints)
    : CMMNotificationClient(endpoints, sonvale::MakeSystemEndpointWatcher()) {}

CMMNotificationClient::CMMNotificationClient(sonvale::EndpointDirectory* endpoints,
                                             std::unique_ptr<sonvale::EndpointWatcher> watcher)
    : QThread(nullptr), endpoints_(endpoints) {
    init(std::move(watcher));
}

void CMMNotificationClient::init(std::unique_ptr<sonvale::EndpointWatcher> watcher) {
    invoker_ = std::make_unique<Invoker>(this);
    forwarder_ = std::make_unique<sonvale::EndpointChangeForwarder>(endpoints_, invoker_.get());
    watcher_ = std::move(watcher);
    if (watcher_) started_ = watcher_->Start(forwarder_.get());
    std::cout << (started_.created ? "接口创建成功" : "接口创建失败") << std::endl;
    if (started_.created) std::cout << (started_.registered ? "注册成功" : "注册失败") << std::endl;
}

CMMNotificationClient::~CMMNotificationClient() {
    // Stop first: after this no call reaches the forwarder or the invoker.
    if (watcher_) watcher_->Stop();
    setMainWindow(nullptr);
}

void CMMNotificationClient::setMainWindow(QObject* target) {
    std::lock_guard lock(targetMutex_);
    if (targetDestroyed_) QObject::disconnect(targetDestroyed_);
    targetDestroyed_ = {};
    target_ = target;
    if (target_) {
        // Runs in ~QObject of the target, on its thread, before its pending
        // queued calls are discarded.
        targetDestroyed_ = QObject::connect(
            target_, &QObject::destroyed, this,
            [this](QObject* gone) {
                std::lock_guard lock(targetMutex_);
                if (target_ == gone) target_ = nullptr;
            },
            Qt::DirectConnection);
    }
}

QObject* CMMNotificationClient::mainWindow() const {
    std::lock_guard lock(targetMutex_);
    return target_;
}
