#include "audio/AudioDevices.h"

namespace sonvale {

bool isEndpointDevice(const QAudioDeviceInfo& info, QAudio::Mode mode) {
    if (info.isNull()) return false;
#ifdef Q_OS_LINUX
    const QString realm = info.realm();
    if (realm != QLatin1String("pulseaudio") && realm != QLatin1String("default")) return false;
    if (mode == QAudio::AudioInput && info.deviceName().endsWith(QLatin1String(".monitor")))
        return false;
#else
    Q_UNUSED(mode);
#endif
    return true;
}

QList<QAudioDeviceInfo> endpointDevices(QAudio::Mode mode) {
    QList<QAudioDeviceInfo> result;
    const QList<QAudioDeviceInfo> all = QAudioDeviceInfo::availableDevices(mode);
    for (const QAudioDeviceInfo& info : all) {
        if (isEndpointDevice(info, mode)) result.append(info);
    }
    return result;
}

QAudioDeviceInfo findEndpointDevice(QAudio::Mode mode, const QString& name) {
    const QList<QAudioDeviceInfo> all = QAudioDeviceInfo::availableDevices(mode);
    for (const QAudioDeviceInfo& info : all) {
        if (info.deviceName() == name && isEndpointDevice(info, mode)) return info;
    }
    return QAudioDeviceInfo();
}

}  // namespace sonvale
