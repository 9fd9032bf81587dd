#include <pulse/pulseaudio.h>

#include "AudioServerClients.h"
#include "PulseSession.h"

namespace sonvale {

bool AudioServerHasClient(const std::string& name) {
    PulseSession session;
    if (!session.ok()) return false;
    struct Search {
        const std::string* name;
        bool found = false;
    } search{&name};
    session.Wait(pa_context_get_client_info_list(
        session.context(),
        [](pa_context*, const pa_client_info* info, int eol, void* userdata) {
            auto* s = static_cast<Search*>(userdata);
            if (eol == 0 && info && info->name && *s->name == info->name) s->found = true;
        },
        &search));
    return search.found;
}

}  // namespace sonvale
