// SonvaleMain: what the window does when the audio server or the companion
// devices go away and come back.
#include <QDebug>

#include "SonvaleMain.h"

void SonvaleMain::startStreamGuard() {
    sonvale::OwnStreamGuardOptions options;
    options.virtualFragment = "Sonvale";
    options.log = [](const std::string& line) { qDebug().noquote() << line.c_str(); };
    streamGuard_ = sonvale::StartOwnStreamGuard(std::move(options));
    // Bounded: without a server the program stops at the driver message anyway.
    if (streamGuard_ && !streamGuard_->waitUntilWatching(2000))
        qWarning() << "stream guard: not watching a server yet";
}
