// Endpoint backend on PulseAudio: sinks are render endpoints, sources other
// than monitors are capture endpoints, and the PulseAudio name is both the
// friendly name and the id. Each call opens its own short connection.
#include <pulse/pulseaudio.h>

#include <cmath>
#include <string>
#include <vector>

#include "Endpoint.h"
#include "EndpointText.h"
#include "PulseEndpointWatcher.h"
#include "PulseSession.h"

namespace sonvale {
namespace {

struct Found {
    std::string name;
    uint8_t channels = 0;
    std::string description;
};

// An endpoint whose active port is known to be unavailable (jack unplugged)
// is not active, as on Windows.
template <typename Info>
bool IsActivePulseEndpoint(const Info* info) {
    return !(info->active_port && info->active_port->available == PA_PORT_AVAILABLE_NO);
}

void CollectSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol || !info || !info->name) return;
    if (!IsActivePulseEndpoint(info)) return;
    static_cast<std::vector<Found>*>(userdata)->push_back(
        {info->name, info->volume.channels, info->description ? info->description : ""});
}

void CollectSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    if (eol || !info || !info->name) return;
    if (info->monitor_of_sink != PA_INVALID_INDEX) return;  // a sink's monitor is no microphone
    if (!IsActivePulseEndpoint(info)) return;
    static_cast<std::vector<Found>*>(userdata)->push_back(
        {info->name, info->volume.channels, info->description ? info->description : ""});
}

std::vector<Found> List(PulseSession& session, int flow) {
    std::vector<Found> found;
    if (!session.ok()) return found;
    pa_operation* op =
        flow == kRenderFlow
            ? pa_context_get_sink_info_list(session.context(), CollectSink, &found)
            : pa_context_get_source_info_list(session.context(), CollectSource, &found);
    if (!session.Wait(op)) found.clear();
    return found;
}

void NoteSuccess(pa_context*, int success, void* userdata) {
    *static_cast<bool*>(userdata) = success != 0;
}

class PulseEndpointBackend final : public EndpointBackend {
public:
    std::vector<EndpointInfo> ListActive(int flow) override {
        PulseSession session;
        std::vector<EndpointInfo> out;
        for (const Found& f : List(session, flow)) {
            std::wstring name = EndpointWideFromUtf8(f.name);
            out.push_back({name, name, EndpointWideFromUtf8(f.description)});
        }
        return out;
    }

    EndpointResult SetDefault(const std::wstring& id, int flow) override {
        if (id.empty()) return kEndpointFail;
        PulseSession session;
        if (!session.ok()) return kEndpointFail;
        const std::string name = EndpointUtf8FromWide(id);
        if (flow != kRenderFlow && flow != kCaptureFlow) {
            // PulseAudio names are unique across sinks and sources, so the
            // name alone tells the flow.
            bool isSink = false;
            session.Wait(pa_context_get_sink_info_by_name(
                session.context(), name.c_str(),
                [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
                    if (!eol && info) *static_cast<bool*>(userdata) = true;
                },
                &isSink));
            flow = isSink ? kRenderFlow : kCaptureFlow;
        }
        bool success = false;
        pa_operation* op = flow == kRenderFlow
                               ? pa_context_set_default_sink(session.context(), name.c_str(),
                                                             NoteSuccess, &success)
                               : pa_context_set_default_source(session.context(), name.c_str(),
                                                               NoteSuccess, &success);
        return session.Wait(op) && success ? kEndpointOk : kEndpointFail;
    }

    int SetCaptureVolume(bool mute, float scalar, const std::wstring& nameFragment) override {
        PulseSession session;
        int changed = 0;
        for (const Found& f : List(session, kCaptureFlow)) {
            if (EndpointWideFromUtf8(f.name).find(nameFragment) == std::wstring::npos) continue;
            bool muted = false;
            session.Wait(pa_context_set_source_mute_by_name(session.context(), f.name.c_str(),
                                                            mute ? 1 : 0, NoteSuccess, &muted));
            bool volumed = true;
            if (scalar >= 0.0f && f.channels > 0) {
                pa_cvolume volume;
                const auto level = static_cast<pa_volume_t>(
                    std::lround(static_cast<double>(scalar) * PA_VOLUME_NORM));
                pa_cvolume_set(&volume, f.channels, level);
                volumed = false;
                session.Wait(pa_context_set_source_volume_by_name(session.context(), f.name.c_str(),
                                                                  &volume, NoteSuccess, &volumed));
            }
            if (muted && volumed) ++changed;
        }
        return changed;
    }
};

}  // namespace

std::unique_ptr<EndpointBackend> MakeSystemEndpointBackend() {
    return std::make_unique<PulseEndpointBackend>();
}

std::unique_ptr<EndpointWatcher> MakeSystemEndpointWatcher() {
    return std::make_unique<PulseEndpointWatcher>();
}

}  // namespace sonvale
