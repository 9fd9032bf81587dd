// Endpoint backend and watcher on Windows Core Audio (MMDevice API, COM).
// Every COM failure is silent: the operation stops or skips the endpoint.
#include <windows.h>
// windows.h first
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "Endpoint.h"
#include "MMDeviceGuids.h"
#include "MMDeviceNotificationClient.h"
#include "PolicyConfig.h"

namespace sonvale {
namespace {

template <typename T>
void SafeRelease(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

// Reads an endpoint's friendly name; false when it cannot be read or is not
// a string.
bool FriendlyName(IMMDevice* device, std::wstring& name) {
    IPropertyStore* store = nullptr;
    if (FAILED(device->OpenPropertyStore(kStgmRead, &store)) || !store) return false;
    PROPVARIANT value;
    PropVariantInit(&value);
    bool ok = false;
    if (SUCCEEDED(store->GetValue(kPkeyDeviceFriendlyName, &value)) && value.vt == VT_LPWSTR &&
        value.pwszVal) {
        name = value.pwszVal;
        ok = true;
    }
    PropVariantClear(&value);
    store->Release();
    return ok;
}

// The active endpoints of one flow, or null on failure.
IMMDeviceCollection* ActiveEndpoints(IMMDeviceEnumerator* enumerator, int flow, UINT& count) {
    IMMDeviceCollection* collection = nullptr;
    count = 0;
    if (FAILED(enumerator->EnumAudioEndpoints(flow == kRenderFlow ? eRender : eCapture,
                                              kDeviceStateActive, &collection)) ||
        !collection)
        return nullptr;
    if (FAILED(collection->GetCount(&count))) {
        collection->Release();
        return nullptr;
    }
    return collection;
}

IMMDeviceEnumerator* CreateEnumerator() {
    IMMDeviceEnumerator* enumerator = nullptr;
    if (FAILED(CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, kClsctxAll,
                                kIidIMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator))))
        return nullptr;
    return enumerator;
}

class CoreAudioBackend final : public EndpointBackend {
public:
    std::vector<EndpointInfo> ListActive(int flow) override {
        std::vector<EndpointInfo> out;
        // Single-threaded apartment; "already initialised" is fine and is
        // not undone: default switching relies on it later.
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return out;
        IMMDeviceEnumerator* enumerator = CreateEnumerator();
        if (!enumerator) return out;
        UINT count = 0;
        IMMDeviceCollection* collection = ActiveEndpoints(enumerator, flow, count);
        for (UINT i = 0; collection && i < count; ++i) {
            IMMDevice* device = nullptr;
            if (FAILED(collection->Item(i, &device)) || !device) continue;
            LPWSTR id = nullptr;
            std::wstring name;
            if (SUCCEEDED(device->GetId(&id)) && id) {
                if (FriendlyName(device, name)) out.push_back({name, id});
                CoTaskMemFree(id);
            }
            device->Release();
        }
        SafeRelease(collection);
        SafeRelease(enumerator);
        return out;
    }

    EndpointResult SetDefault(const std::wstring& id, int) override {
        IPolicyConfig* policy = nullptr;
        const HRESULT created =
            CoCreateInstance(kClsidPolicyConfig, nullptr, kClsctxAll, kIidPolicyConfig,
                             reinterpret_cast<void**>(&policy));
        if (FAILED(created) || !policy) return FAILED(created) ? created : kEndpointFail;
        const HRESULT result = policy->SetDefaultEndpoint(id.c_str(), kRoleConsole);
        policy->Release();
        return result;
    }

    int SetCaptureVolume(bool mute, float scalar, const std::wstring& nameFragment) override {
        // On the GUI thread, already in a single-threaded apartment, this
        // fails harmlessly; where it succeeds it is undone at the end.
        const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        int changed = 0;
        IMMDeviceEnumerator* enumerator = CreateEnumerator();
        UINT count = 0;
        IMMDeviceCollection* collection =
            enumerator ? ActiveEndpoints(enumerator, kCaptureFlow, count) : nullptr;
        for (UINT i = 0; collection && i < count; ++i) {
            IMMDevice* device = nullptr;
            if (FAILED(collection->Item(i, &device)) || !device) continue;
            std::wstring name;
            if (FriendlyName(device, name) && name.find(nameFragment) != std::wstring::npos) {
                IAudioEndpointVolume* volume = nullptr;
                if (SUCCEEDED(device->Activate(kIidIAudioEndpointVolume, kClsctxAll, nullptr,
                                               reinterpret_cast<void**>(&volume))) &&
                    volume) {
                    volume->SetMute(mute ? TRUE : FALSE, nullptr);
                    if (scalar >= 0.0f) volume->SetMasterVolumeLevelScalar(scalar, nullptr);
                    volume->Release();
                    ++changed;
                }
            }
            device->Release();
        }
        SafeRelease(collection);
        SafeRelease(enumerator);
        if (SUCCEEDED(init)) CoUninitialize();
        return changed;
    }
};

class CoreAudioWatcher final : public EndpointWatcher {
public:
    ~CoreAudioWatcher() override { Stop(); }

    StartResult Start(EndpointEventSink* sink) override {
        StartResult result;
        if (client_) return result;
        comInit_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        enumerator_ = CreateEnumerator();
        if (!enumerator_) return result;
        result.created = true;
        client_ = new MMDeviceNotificationClient(enumerator_, sink);
        registered_ = SUCCEEDED(enumerator_->RegisterEndpointNotificationCallback(client_));
        result.registered = registered_;
        return result;
    }

    void Stop() override {
        if (enumerator_ && client_ && registered_)
            enumerator_->UnregisterEndpointNotificationCallback(client_);
        registered_ = false;
        if (client_) {
            client_->Detach();  // a callback still running finishes first
            client_->Release();
            client_ = nullptr;
        }
        SafeRelease(enumerator_);
        if (SUCCEEDED(comInit_)) CoUninitialize();
        comInit_ = E_FAIL;
    }

private:
    HRESULT comInit_ = E_FAIL;
    IMMDeviceEnumerator* enumerator_ = nullptr;
    MMDeviceNotificationClient* client_ = nullptr;
    bool registered_ = false;
};

}  // namespace

std::unique_ptr<EndpointBackend> MakeSystemEndpointBackend() {
    return std::make_unique<CoreAudioBackend>();
}

std::unique_ptr<EndpointWatcher> MakeSystemEndpointWatcher() {
    return std::make_unique<CoreAudioWatcher>();
}

}  // namespace sonvale
