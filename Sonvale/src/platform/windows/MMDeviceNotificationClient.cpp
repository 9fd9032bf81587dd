#include "MMDeviceNotificationClient.h"

#include "MMDeviceGuids.h"

namespace sonvale {

MMDeviceNotificationClient::MMDeviceNotificationClient(IMMDeviceEnumerator* enumerator,
                                                       EndpointEventSink* sink, std::FILE* out)
    : enumerator_(enumerator), sink_(sink), out_(out) {
    if (enumerator_) enumerator_->AddRef();
}

MMDeviceNotificationClient::~MMDeviceNotificationClient() {
    if (enumerator_) enumerator_->Release();
}

void MMDeviceNotificationClient::Detach() {
    std::lock_guard lock(sinkMutex_);
    sink_ = nullptr;
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, kIidIUnknown) || IsEqualIID(iid, kIidIMMNotificationClient)) {
        AddRef();
        *out = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE MMDeviceNotificationClient::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&refCount_));
}

ULONG STDMETHODCALLTYPE MMDeviceNotificationClient::Release() {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::OnDeviceStateChanged(LPCWSTR id,
                                                                           DWORD newState) {
    // The audio service's thread may or may not have COM; balance what we
    // start here.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EndpointEvent event;
    event.hasId = id != nullptr;
    if (id) event.id = id;
    event.state = static_cast<int>(newState);

    IMMDevice* device = nullptr;
    IPropertyStore* store = nullptr;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (enumerator_ && id && enumerator_->GetDevice(id, &device) == S_OK &&
        device->OpenPropertyStore(kStgmRead, &store) == S_OK &&
        store->GetValue(kPkeyDeviceFriendlyName, &value) == S_OK) {
        // A friendly name that is not a string counts as unreadable.
        if (value.vt == VT_LPWSTR && value.pwszVal) {
            event.resolved = true;
            event.name = value.pwszVal;
        }
        // The endpoint's own data flow classifies endpoints the directory
        // has not seen yet.
        IMMEndpoint* endpoint = nullptr;
        if (device->QueryInterface(kIidIMMEndpoint, reinterpret_cast<void**>(&endpoint)) == S_OK &&
            endpoint) {
            EDataFlow flow;
            if (endpoint->GetDataFlow(&flow) == S_OK)
                event.flow = flow == eRender    ? kRenderFlow
                             : flow == eCapture ? kCaptureFlow
                                                : kUnknownFlow;
            endpoint->Release();
        }
    }
    PropVariantClear(&value);
    if (store) store->Release();
    if (device) device->Release();

    {
        std::lock_guard lock(sinkMutex_);
        if (sink_) sink_->OnEndpointStateChanged(event);
    }
    if (SUCCEEDED(init)) CoUninitialize();
    return S_OK;
}

void MMDeviceNotificationClient::Note(const char* what) {
    if (!out_) return;
    std::fputs(what, out_);
    std::fputs("\n", out_);
    std::fflush(out_);
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::OnDeviceAdded(LPCWSTR) {
    Note("OnDeviceAdded");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::OnDeviceRemoved(LPCWSTR) {
    Note("OnDeviceRemoved");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::OnDefaultDeviceChanged(EDataFlow, ERole,
                                                                             LPCWSTR) {
    Note("OnDefaultDeviceChanged");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE MMDeviceNotificationClient::OnPropertyValueChanged(LPCWSTR,
                                                                             const PROPERTYKEY) {
    Note("OnPropertyValueChanged");
    return S_OK;
}

}  // namespace sonvale
