// The IMMNotificationClient the program registers with the Core Audio
// device enumerator. State changes are resolved to the endpoint's friendly
// name and data flow and handed to an EndpointEventSink; the other
// notifications are only written to standard output.
//
// A COM object: it starts with a reference count of 1, counted with
// interlocked operations, and deletes itself when the count reaches 0.
// Callbacks run on a thread of the audio service.
#pragma once

#include <windows.h>
// windows.h first
#include <mmdeviceapi.h>

#include <cstdio>
#include <mutex>

#include "Endpoint.h"

namespace sonvale {

class MMDeviceNotificationClient final : public IMMNotificationClient {
public:
    // Takes a reference on `enumerator` (may be null: then no endpoint can be
    // resolved). `sink` may be null.
    MMDeviceNotificationClient(IMMDeviceEnumerator* enumerator, EndpointEventSink* sink,
                               std::FILE* out = stdout);

    // Stops using the sink: once Detach returns, no callback reaches it.
    void Detach();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IMMNotificationClient
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR id, DWORD newState) override;
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR id) override;
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR id) override;
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                     LPCWSTR id) override;
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) override;

private:
    ~MMDeviceNotificationClient();
    void Note(const char* what);

    IMMDeviceEnumerator* enumerator_;
    std::mutex sinkMutex_;  // held while the sink is in use
    EndpointEventSink* sink_;
    std::FILE* out_;
    volatile LONG refCount_ = 1;
};

}  // namespace sonvale
