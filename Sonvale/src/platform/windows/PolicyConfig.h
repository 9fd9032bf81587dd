// The policy-configuration interface of Windows' audio service. It is not
// documented; the program uses one method, SetDefaultEndpoint, which sits at
// index 12 of the virtual table (after IUnknown's three). The nine methods
// before it are never called and are declared only to keep their places.
#pragma once

#include <windows.h>
// windows.h first
#include <unknwn.h>

namespace sonvale {

struct IPolicyConfig : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Unused3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused4() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused5() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused6() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused7() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused8() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused11() = 0;
    // Makes the endpoint the default one for `role` (0 console).
    virtual HRESULT STDMETHODCALLTYPE SetDefaultEndpoint(LPCWSTR endpointId, int role) = 0;
};

inline constexpr int kPolicyConfigSetDefaultEndpointSlot = 12;

}  // namespace sonvale
