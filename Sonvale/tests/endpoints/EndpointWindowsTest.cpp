// The Core Audio declarations and the notification client's COM behaviour,
// run under wine. Nothing here talks to an audio service.
#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "EndpointNotification.h"
#include "MMDeviceGuids.h"
#include "MMDeviceNotificationClient.h"
#include "PolicyConfig.h"

namespace sonvale {
namespace {

std::string Text(const GUID& g) {
    wchar_t buf[64] = {};
    StringFromGUID2(g, buf, 64);
    std::string out;
    for (const wchar_t* p = buf; *p; ++p) out.push_back(static_cast<char>(*p));
    return out;
}

TEST(WindowsIds, GuidsAsDocumented) {
    struct Case {
        const GUID& guid;
        const char* text;
    } cases[] = {
        {kClsidMMDeviceEnumerator, "{BCDE0395-E52F-467C-8E3D-C4579291692E}"},
        {kIidIMMDeviceEnumerator, "{A95664D2-9614-4F35-A746-DE8DB63617E6}"},
        {kIidIAudioEndpointVolume, "{5CDF2C82-841E-4546-9722-0CF74078229A}"},
        {kIidIMMNotificationClient, "{7991EEC9-7E89-4D85-8390-6C703CEC60C0}"},
        {kIidIUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {kClsidPolicyConfig, "{294935CE-F637-4E7C-A41B-AB255460B862}"},
        {kIidPolicyConfig, "{568B9108-44BF-40B4-9006-86AFE5B5A620}"},
        {kPkeyDeviceFriendlyName.fmtid, "{A45C254E-DF1C-4EFD-8020-67D146A850E0}"},
    };
    for (const auto& c : cases) EXPECT_EQ(Text(c.guid), c.text);
    EXPECT_EQ(kPkeyDeviceFriendlyName.pid, 14u);
    // The SDK headers agree on the interfaces they declare.
    EXPECT_TRUE(IsEqualGUID(kIidIMMDeviceEnumerator, __uuidof(IMMDeviceEnumerator)));
    EXPECT_TRUE(IsEqualGUID(kIidIAudioEndpointVolume, __uuidof(IAudioEndpointVolume)));
    EXPECT_TRUE(IsEqualGUID(kIidIMMNotificationClient, __uuidof(IMMNotificationClient)));
    EXPECT_TRUE(IsEqualGUID(kIidIMMEndpoint, __uuidof(IMMEndpoint)));
    EXPECT_TRUE(IsEqualGUID(kIidIUnknown, __uuidof(IUnknown)));
}

// An implementation of the policy interface that records what reaches
// SetDefaultEndpoint.
struct RecordingPolicy : IPolicyConfig {
    std::wstring id;
    int role = -1;
    int unused = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Unused3() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused4() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused5() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused6() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused7() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused8() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused9() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused10() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unused11() override { return ++unused, E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR endpointId, int r) override {
        id = endpointId;
        role = r;
        return 0x12345678;
    }
};

TEST(WindowsIds, SetDefaultEndpointIsTheThirteenthVtableEntry) {
    RecordingPolicy policy;
    IPolicyConfig* object = &policy;
    // Call it the way the system's object is called: through entry 12 of
    // the virtual table, with the COM calling convention.
    using Fn = HRESULT(STDMETHODCALLTYPE*)(IPolicyConfig*, LPCWSTR, int);
    void** vtable = *reinterpret_cast<void***>(object);
    const Fn fn = reinterpret_cast<Fn>(vtable[kPolicyConfigSetDefaultEndpointSlot]);
    EXPECT_EQ(fn(object, L"{0.0.0.00000000}.{id}", 0), 0x12345678);
    EXPECT_EQ(policy.id, L"{0.0.0.00000000}.{id}");
    EXPECT_EQ(policy.role, 0);
    EXPECT_EQ(policy.unused, 0);
    // No data of its own: the object is its table pointer.
    EXPECT_EQ(sizeof(IPolicyConfig), sizeof(void*));
}

struct RecordingSink : EndpointEventSink {
    std::vector<EndpointEvent> events;
    void OnEndpointStateChanged(const EndpointEvent& e) override { events.push_back(e); }
};

TEST(WindowsNotificationClient, ComRules) {
    auto* client = new MMDeviceNotificationClient(nullptr, nullptr, nullptr);
    struct Case {
        GUID iid;
        HRESULT result;
    } cases[] = {
        {kIidIUnknown, S_OK},
        {kIidIMMNotificationClient, S_OK},
        {kIidIMMDeviceEnumerator, E_NOINTERFACE},
        {kIidPolicyConfig, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(client->QueryInterface(c.iid, &out), c.result) << Text(c.iid);
        if (c.result == S_OK) {
            // The object's address is its interface pointer.
            EXPECT_EQ(out, static_cast<void*>(client));
            EXPECT_EQ(client->Release(), 1u);
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(client->QueryInterface(kIidIUnknown, nullptr), E_POINTER);

    // Interlocked counting: references taken and dropped on many threads.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([client] {
            for (int i = 0; i < 20000; ++i) client->AddRef();
            for (int i = 0; i < 20000; ++i) client->Release();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(client->AddRef(), 2u);
    EXPECT_EQ(client->Release(), 1u);
    EXPECT_EQ(client->Release(), 0u);  // deleted
}

std::string Contents(std::FILE* f) {
    std::string out;
    std::rewind(f);
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    return out;
}

TEST(WindowsNotificationClient, UnresolvedEndpointsAreWrittenOutAndNotForwarded) {
    struct NoCalls : EndpointSlotInvoker {
        int calls = 0;
        void Invoke(const char*, int, const std::wstring&) override { ++calls; }
    } invoker;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EndpointChangeForwarder forwarder(nullptr, &invoker, out);
    auto* client = new MMDeviceNotificationClient(nullptr, &forwarder, out);
    // No enumerator: no endpoint can be resolved.
    EXPECT_EQ(client->OnDeviceStateChanged(nullptr, 1), S_OK);
    EXPECT_EQ(client->OnDeviceStateChanged(L"{0.0.1.00000000}.{x}", 8), S_OK);
    EXPECT_EQ(client->OnDeviceAdded(L"a"), S_OK);
    EXPECT_EQ(client->OnDeviceRemoved(L"a"), S_OK);
    EXPECT_EQ(client->OnDefaultDeviceChanged(eRender, eConsole, L"a"), S_OK);
    EXPECT_EQ(client->OnPropertyValueChanged(L"a", kPkeyDeviceFriendlyName), S_OK);
    client->Detach();
    EXPECT_EQ(client->OnDeviceStateChanged(L"late", 1), S_OK);  // nothing reaches the sink
    client->Release();
    EXPECT_EQ(invoker.calls, 0);
    EXPECT_EQ(Contents(out),
              "----------------------\nDevice name: \"null device\"\n"
              "  Endpoint ID string: \"null ID\"\nOnDeviceStateChanged\n"
              "----------------------\nDevice name: \"null device\"\n"
              "  Endpoint ID string: \"{0.0.1.00000000}.{x}\"\nOnDeviceStateChanged\n"
              "OnDeviceAdded\nOnDeviceRemoved\nOnDefaultDeviceChanged\nOnPropertyValueChanged\n");
    std::fclose(out);
}

}  // namespace
}  // namespace sonvale
