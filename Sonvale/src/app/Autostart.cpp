#include "Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTextStream>

namespace sonvale {
namespace {

// Quotes a path for an Exec line of a desktop entry.
QString ExecQuoted(const QString& program) {
    QString quoted = program;
    for (const char c : {'\\', '"', '`', '$'})
        quoted.replace(QLatin1Char(c), QStringLiteral("\\") + QLatin1Char(c));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

}  // namespace

QString AutostartEntryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/sonvale.desktop");
}

bool AutostartEnabled() {
    QFile file(AutostartEntryPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    const QString text = QString::fromUtf8(file.readAll());
    return !text.contains(QLatin1String("\nHidden=true"));
}

bool SetAutostartEnabled(bool enabled, const QString& program, QString* error) {
    const QString path = AutostartEntryPath();
    if (!enabled) {
        if (!QFileInfo::exists(path) || QFile::remove(path)) return true;
        if (error) *error = QStringLiteral("cannot remove ") + path;
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error) *error = QStringLiteral("cannot make ") + QFileInfo(path).absolutePath();
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error) *error = file.errorString();
        return false;
    }
    QTextStream out(&file);
    out.setCodec("UTF-8");
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Sonvale\n"
        << "Comment=Removes background noise from your microphone and speaker\n"
        << "Exec=" << ExecQuoted(program) << "\n"
        << "Icon=sonvale\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!file.commit()) {
        if (error) *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace sonvale
