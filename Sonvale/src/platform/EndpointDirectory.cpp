#include "EndpointDirectory.h"

#include <cmath>

namespace sonvale {

EndpointDirectory::EndpointDirectory() : EndpointDirectory(MakeSystemEndpointBackend()) {}

EndpointDirectory::EndpointDirectory(std::unique_ptr<EndpointBackend> backend)
    : backend_(std::move(backend)) {
    Load(kRenderFlow);
    Load(kCaptureFlow);
}

EndpointDirectory::~EndpointDirectory() = default;

void EndpointDirectory::Load(int flow) {
    flow = flow == kRenderFlow ? kRenderFlow : kCaptureFlow;
    std::vector<EndpointInfo> found;
    if (backend_) found = backend_->ListActive(flow);
    std::lock_guard lock(mutex_);
    Map& map = MapOf(flow);
    map.clear();
    for (auto& e : found) map.try_emplace(std::move(e.name), std::move(e.id));  // first one wins
}

void EndpointDirectory::SetDefaultByName(const std::wstring& name, int flow) {
    flow = flow == kRenderFlow ? kRenderFlow : kCaptureFlow;
    std::wstring id;
    {
        std::lock_guard lock(mutex_);
        const Map& map = MapOf(flow);
        auto it = map.find(name);
        if (it == map.end()) return;
        id = it->second;
    }
    if (backend_) backend_->SetDefault(id, flow);
}

int EndpointDirectory::Classify(const std::wstring& name, const std::wstring& id) const {
    std::lock_guard lock(mutex_);
    for (int flow : {kRenderFlow, kCaptureFlow}) {
        const Map& map = MapOf(flow);
        auto it = map.find(name);
        if (it != map.end() && it->second == id)
            return flow == kRenderFlow ? kClassRender : kClassCapture;
    }
    return kClassNeither;
}

void EndpointDirectory::NoteStateChange(int flow, const std::wstring& name, const std::wstring& id,
                                        int state) {
    if (flow != kRenderFlow && flow != kCaptureFlow) return;
    std::lock_guard lock(mutex_);
    Map& map = MapOf(flow);
    if (state == kStateActive) {
        map.try_emplace(name, id);
        return;
    }
    auto it = map.find(name);
    if (it != map.end() && it->second == id) map.erase(it);
}

std::vector<EndpointInfo> EndpointDirectory::Entries(int flow) const {
    std::lock_guard lock(mutex_);
    std::vector<EndpointInfo> out;
    for (const auto& [name, id] : MapOf(flow == kRenderFlow ? kRenderFlow : kCaptureFlow))
        out.push_back({name, id});
    return out;
}

EndpointResult SetDefaultEndpointById(const std::wstring& id) {
    auto backend = MakeSystemEndpointBackend();
    return backend ? backend->SetDefault(id, kUnknownFlow) : kEndpointFail;
}

float CaptureVolumeScalar(float percent) {
    if (std::isnan(percent)) return -1.0f;
    if (percent < 0.0f) percent = 0.0f;
    if (percent > 100.0f) percent = 100.0f;
    return percent / 100.0f;
}

std::vector<EndpointInfo> ListActiveEndpoints(int flow) {
    const std::unique_ptr<EndpointBackend> backend = MakeSystemEndpointBackend();
    return backend ? backend->ListActive(flow) : std::vector<EndpointInfo>{};
}

int SetCaptureEndpointVolume(bool mute, float percent, const std::wstring& nameFragment) {
    auto backend = MakeSystemEndpointBackend();
    return backend ? backend->SetCaptureVolume(mute, CaptureVolumeScalar(percent), nameFragment)
                   : 0;
}

}  // namespace sonvale
