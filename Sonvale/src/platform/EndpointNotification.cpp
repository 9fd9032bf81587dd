#include "EndpointNotification.h"

#include <thread>

#include "EndpointDirectory.h"
#include "EndpointText.h"

namespace sonvale {

const char* DispatchEndpointChange(int knownClass, int realFlow, int state) {
    int flow = kUnknownFlow;
    if (knownClass == kClassRender)
        flow = kRenderFlow;
    else if (knownClass == kClassCapture)
        flow = kCaptureFlow;
    else
        flow = realFlow;
    if (flow != kCaptureFlow) return kSlotRemoveSpeaker;
    return state == kStateActive ? kSlotRemoveMicrophone : kSlotSetStat;
}

std::string FormatEndpointBlock(const std::wstring* name, const std::wstring* id) {
    std::string out = "----------------------\nDevice name: \"";
    out += name ? EndpointUtf8FromWide(*name) : "null device";
    out += "\"\n  Endpoint ID string: \"";
    out += id ? EndpointUtf8FromWide(*id) : "null ID";
    out += "\"\n";
    return out;
}

EndpointChangeForwarder::EndpointChangeForwarder(EndpointDirectory* directory,
                                                 EndpointSlotInvoker* invoker, std::FILE* out)
    : directory_(directory), invoker_(invoker), out_(out) {}

void EndpointChangeForwarder::OnEndpointStateChanged(const EndpointEvent& event) {
    if (out_) {
        const std::string block = FormatEndpointBlock(event.resolved ? &event.name : nullptr,
                                                      event.hasId ? &event.id : nullptr);
        std::fputs(block.c_str(), out_);
    }
    if (event.resolved && event.hasId) {
        std::this_thread::yield();
        const int known = directory_ ? directory_->Classify(event.name, event.id) : kClassNeither;
        const char* slot = DispatchEndpointChange(known, event.flow, event.state);
        // The directory follows the endpoint, so that default switching and
        // later classification still work after it comes or goes.
        const int flow = known == kClassRender    ? kRenderFlow
                         : known == kClassCapture ? kCaptureFlow
                                                  : event.flow;
        if (directory_) directory_->NoteStateChange(flow, event.name, event.id, event.state);
        if (invoker_) invoker_->Invoke(slot, event.state, event.name);
    }
    if (out_) {
        std::fputs("OnDeviceStateChanged\n", out_);
        std::fflush(out_);
    }
}

void EndpointChangeForwarder::OnAudioServerChanged(bool available) {
    if (out_) {
        std::fputs(available ? "audio server back\n" : "audio server gone\n", out_);
        std::fflush(out_);
    }
    if (invoker_) invoker_->Invoke(kSlotAudioServer, available ? 1 : 0, std::wstring());
}

}  // namespace sonvale
