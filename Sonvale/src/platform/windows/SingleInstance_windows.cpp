// Windows backend of the single-instance guard: a named mutex created with
// initial ownership. The last-error code read right after CreateMutexW tells
// whether another process created it first.
#include <windows.h>

#include <string>

#include "SingleInstance.h"

namespace sonvale {

int SingleInstanceAlreadyExistsError() { return ERROR_ALREADY_EXISTS; }

namespace {

std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

}  // namespace

SingleInstance::SingleInstance(const std::string& name) {
    const std::wstring wide = widen(name);
    HANDLE h = CreateMutexW(nullptr, TRUE, wide.c_str());
    const DWORD err = GetLastError();
    handle_ = h;
    lastError_ =
        h == nullptr && err == 0 ? static_cast<int>(ERROR_INVALID_HANDLE) : static_cast<int>(err);
}

std::string SingleInstanceName() { return kSingleInstanceName; }

int SingleInstance::showRequestDescriptor() const { return -1; }

int SingleInstance::takeShowRequests() { return 0; }

// The mutex carries no messages: a second start says that the program is
// open, as it always has.
bool AskHolderToShow(const std::string&, int) { return false; }

SingleInstance::~SingleInstance() {
    // A handle that merely opened someone else's mutex is closed too; only the
    // creator owns it, and the system releases ownership with the process.
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

}  // namespace sonvale
