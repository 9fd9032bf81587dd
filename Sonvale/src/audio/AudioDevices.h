// Device lookup shared by the loops and the device lists.
//
// Qt 5 reports, besides the real endpoints, the ALSA pseudo-devices of its
// ALSA plugin ("default", "lavrate", ...) and, with PulseAudio, the ".monitor"
// source of every sink. Neither is an endpoint the user can pick: on Linux
// only devices of the PulseAudio plugin count, whose realm is "pulseaudio" or
// "default" (the key under which Qt 5.15 registers that plugin), and a
// ".monitor" source is never a microphone. Names are compared exactly.
#pragma once

#include <QAudio>
#include <QAudioDeviceInfo>
#include <QList>
#include <QString>

namespace sonvale {

// Whether `info`, listed for `mode`, is an endpoint the loops may open.
bool isEndpointDevice(const QAudioDeviceInfo& info, QAudio::Mode mode);

// All endpoint devices of `mode`, in Qt's order.
QList<QAudioDeviceInfo> endpointDevices(QAudio::Mode mode);

// The first endpoint device of `mode` whose deviceName() equals `name`; a null
// QAudioDeviceInfo when there is none.
QAudioDeviceInfo findEndpointDevice(QAudio::Mode mode, const QString& name);

}  // namespace sonvale
