// "Start at login": an XDG autostart entry (autostart/sonvale.desktop in the
// user's config folder) that desktop sessions read at login.
#pragma once

#include <QString>

namespace sonvale {

// Where the entry lives: $XDG_CONFIG_HOME/autostart/sonvale.desktop.
QString AutostartEntryPath();

// Whether the entry exists and is not switched off (Hidden=true).
bool AutostartEnabled();

// Writes the entry, starting `program`, or removes it. Returns false, with
// the reason in `error`, when the file cannot be written or removed.
bool SetAutostartEnabled(bool enabled, const QString& program, QString* error = nullptr);

}  // namespace sonvale
