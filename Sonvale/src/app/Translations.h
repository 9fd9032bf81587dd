// The program's texts in the person's language. The texts in the code are the
// program's own: Chinese in its message boxes and tray menu, English in the
// window. A Chinese desktop shows them as they are; every other language gets
// the English translation (resources :/i18n/sonvale_en.qm).
#pragma once

#include <QLocale>
#include <QStringList>

namespace sonvale {

// Installs the translation for `uiLanguages` (most preferred first) into the
// application, replacing one installed before. Returns whether a translation
// is now installed (false for Chinese).
bool InstallTranslations(const QStringList& uiLanguages = QLocale::system().uiLanguages());

// Removes the installed translation, if any.
void RemoveTranslations();

}  // namespace sonvale
