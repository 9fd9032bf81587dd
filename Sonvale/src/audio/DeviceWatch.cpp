#include "audio/DeviceWatch.h"

namespace sonvale {

#ifdef SONVALE_PULSE_DEVICE_WATCH
std::unique_ptr<DeviceWatch> createPulseSourceWatch(const QString& name,
                                                    std::function<void()> gone);
#endif

std::unique_ptr<DeviceWatch> DeviceWatch::forCaptureDevice(const QString& name,
                                                           std::function<void()> gone) {
#ifdef SONVALE_PULSE_DEVICE_WATCH
    return createPulseSourceWatch(name, std::move(gone));
#else
    Q_UNUSED(name);
    Q_UNUSED(gone);
    return nullptr;
#endif
}

}  // namespace sonvale
