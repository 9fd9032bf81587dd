// Whether a given client is connected to the audio server.
//
// Qt's audio plugin keeps one connection of its own per process and, when
// the server goes away, connects again only a few seconds later. Streams
// must not be opened through it before it has: the window asks whether that
// connection is there (on PulseAudio its client is named
// "QtPulseAudio:<process id>") before it reopens the audio paths.
#pragma once

#include <string>

namespace sonvale {

// True when a client named exactly `name` is connected; false when it is not
// or the server cannot be asked. Windows has no such server: always true.
bool AudioServerHasClient(const std::string& name);

}  // namespace sonvale
