#include "Translations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>

namespace sonvale {
namespace {

QTranslator& English() {
    static QTranslator translator;
    return translator;
}

bool installed = false;

}  // namespace

bool InstallTranslations(const QStringList& uiLanguages) {
    RemoveTranslations();
    // "zh", "zh-CN", "zh_TW", ...: the program's own texts.
    const QString first = uiLanguages.isEmpty() ? QString() : uiLanguages.first();
    if (first.startsWith(QLatin1String("zh"), Qt::CaseInsensitive)) return false;
    if (!English().load(QStringLiteral(":/i18n/sonvale_en.qm"))) {
        qWarning() << "translations: :/i18n/sonvale_en.qm is missing";
        return false;
    }
    installed = QCoreApplication::installTranslator(&English());
    return installed;
}

void RemoveTranslations() {
    if (!installed) return;
    QCoreApplication::removeTranslator(&English());
    installed = false;
}

}  // namespace sonvale
