// The main window in-process, on Qt's offscreen platform, against a private
// PulseAudio daemon that harness.py starts with a stand-in speaker and
// microphone and the companion devices (see CMakeLists.txt).
#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QCursor>
#include <QFocusEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QStandardItemModel>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

#include "SingleInstance.h"
#include "SonvaleMain.h"
#include "Translations.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"
#include "imageswitch.h"
#include "trayicon.h"

namespace {

QString pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

QPair<QString, QString> defaults() {
    const QString info = pactl({QStringLiteral("info")});
    const auto sink = QRegularExpression(QStringLiteral("^Default Sink: (.*)$"),
                                         QRegularExpression::MultilineOption)
                          .match(info);
    const auto source = QRegularExpression(QStringLiteral("^Default Source: (.*)$"),
                                           QRegularExpression::MultilineOption)
                            .match(info);
    return {sink.captured(1).trimmed(), source.captured(1).trimmed()};
}

const QPair<QString, QString> kStandins{QStringLiteral("Standin_Speaker"),
                                        QStringLiteral("Standin_Microphone")};
const QPair<QString, QString> kVirtual{QStringLiteral("Sonvale_Speaker"),
                                       QStringLiteral("Sonvale_Microphone")};

// The devices listed, by name (the key; the text shown is the description).
QStringList items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemData(i, SonvaleMain::kDeviceNameRole).toString();
    return out;
}

QStringList labels(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

QString loadPipeSource(const QTemporaryDir& dir, const QString& name, const QString& description) {
    return pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                  QStringLiteral("source_name=") + name,
                  QStringLiteral("file=") + dir.filePath(name), QStringLiteral("channels=1"),
                  QStringLiteral("source_properties='device.description=\"") + description +
                      QStringLiteral("\"'")})
        .trimmed();
}

// Closes the message boxes that show while it lives, and keeps their texts.
struct BoxCloser {
    QStringList texts;
    QTimer timer;
    BoxCloser() {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text() + QLatin1Char('|') + box->informativeText();
                box->done(0);
            }
        });
        timer.start(50);
    }
};

}  // namespace

class AppWindowTest : public QObject {
    Q_OBJECT

private:
    QComboBox* mics(SonvaleMain& w) {
        return w.findChild<QComboBox*>(QStringLiteral("comboBox_Microphone"));
    }
    QComboBox* speakers(SonvaleMain& w) {
        return w.findChild<QComboBox*>(QStringLiteral("comboBox_Speaker"));
    }

    QTemporaryDir config;

private slots:
    void initTestCase() {
        // The remembered choices and the autostart entry go to a folder of
        // the test's own, never to the user's.
        QVERIFY(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    }

    void init() {
        SonvaleMain::setSystemTrayAvailableForTest(-1);
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Sonvale"),
                  QStringLiteral("Sonvale"))
            .clear();
        // Every test starts from the user's own defaults.
        pactl({QStringLiteral("set-default-sink"), kStandins.first});
        pactl({QStringLiteral("set-default-source"), kStandins.second});
        QCOMPARE(defaults(), kStandins);
    }

    void startupListsRealDevicesSwitchesAndRestoresDefaults() {
        {
            SonvaleMain w;
            QCOMPARE(w.startupExitCode(), -1);
            QCOMPARE(items(mics(w)), QStringList{QStringLiteral("Standin_Microphone")});
            QCOMPARE(items(speakers(w)), QStringList{QStringLiteral("Standin_Speaker")});
            QCOMPARE(w.savedSpeakerName(), kStandins.first);
            QCOMPARE(w.savedMicrophoneName(), kStandins.second);
            QCOMPARE(defaults(), kVirtual);
            QTRY_VERIFY(w.captureLoopForTest()->isOpened());
            QTRY_COMPARE(w.captureLoopForTest()->deviceName(), kStandins.second);
        }
        // Leaving without "Quit Sonvale" (the tray's exit ends the event loop
        // and main destroys the window) still restores them.
        QCOMPARE(defaults(), kStandins);
    }

    void startupFilterIsCaseSensitiveAndSkipsMonitors() {
        QTemporaryDir dir;
        QStringList modules;
        for (const QString& name :
             {QStringLiteral("Krisp_Microphone"), QStringLiteral("krisp_microphone")}) {
            modules << pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                              QStringLiteral("source_name=") + name,
                              QStringLiteral("file=") + dir.filePath(name),
                              QStringLiteral("channels=1")})
                           .trimmed();
        }
        modules << pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"),
                          QStringLiteral("sink_name=Krisp_Speaker")})
                       .trimmed();
        {
            SonvaleMain w;
            const QStringList m = items(mics(w));
            QVERIFY2(m.contains(QStringLiteral("krisp_microphone")), qPrintable(m.join(',')));
            QVERIFY(!m.contains(QStringLiteral("Krisp_Microphone")));
            for (const QString& name : m) {
                QVERIFY2(!name.endsWith(QStringLiteral(".monitor")), qPrintable(name));
                QVERIFY2(!name.contains(QStringLiteral("Sonvale")), qPrintable(name));
            }
            QVERIFY(!items(speakers(w)).contains(QStringLiteral("Krisp_Speaker")));
        }
        for (const QString& index : modules) pactl({QStringLiteral("unload-module"), index});
    }

    void notificationsAddRemoveAndNeverListVirtualDevices() {
        SonvaleMain w;
        QComboBox* box = mics(w);
        const QString first = kStandins.second;

        w.NotifyRemoveMicroppone(1, QStringLiteral("Other"));
        w.NotifyRemoveMicroppone(1, QStringLiteral("Other"));
        QCOMPARE(items(box), (QStringList{first, "Other", "Other"}));
        // A re-plugged virtual microphone or a monitor never becomes a
        // microphone the program could capture itself from.
        w.NotifyRemoveMicroppone(1, QStringLiteral("Sonvale_Microphone"));
        w.NotifyRemoveMicroppone(1, QStringLiteral("Standin_Speaker.monitor"));
        QCOMPARE(items(box), (QStringList{first, "Other", "Other"}));
        // Removal takes only the first of two alike.
        w.NotifyRemoveMicroppone(8, QStringLiteral("Other"));
        QCOMPARE(items(box), (QStringList{first, "Other"}));
        // A capture endpoint that is not current leaves at once.
        w.NotifySetStat(2, QStringLiteral("Other"));
        QCOMPARE(items(box), QStringList{first});
        // The current one only asks the loop to stop; it stays listed until
        // the loop reports back.
        w.NotifySetStat(8, first);
        QCOMPARE(items(box), QStringList{first});
        QTRY_COMPARE_WITH_TIMEOUT(items(box), QStringList{}, 20000);
        QVERIFY(!w.captureLoopForTest()->isOpened());
        // Plugged back in: listed again, selected, captured from.
        w.NotifyRemoveMicroppone(1, first);
        QCOMPARE(box->currentData(SonvaleMain::kDeviceNameRole).toString(), first);
        QTRY_VERIFY_WITH_TIMEOUT(w.captureLoopForTest()->isOpened(), 20000);

        QComboBox* out = speakers(w);
        w.NotifyRemoveSpeaker(1, QStringLiteral("Second"));
        w.NotifyRemoveSpeaker(1, QStringLiteral("Sonvale_Speaker"));
        QCOMPARE(items(out), (QStringList{kStandins.first, "Second"}));
        w.NotifyRemoveSpeaker(2, QStringLiteral("Second"));
        QCOMPARE(items(out), QStringList{kStandins.first});
    }

    void removingTheCurrentMicrophoneMovesToTheNext() {
        SonvaleMain w;
        QComboBox* box = mics(w);
        w.NotifyRemoveMicroppone(1, QStringLiteral("NoSuchDevice"));
        w.NotifyRemoveMicroppone(8, kStandins.second);
        QCOMPARE(items(box), QStringList{QStringLiteral("NoSuchDevice")});
        QCOMPARE(box->currentText(), QStringLiteral("NoSuchDevice"));
        // No such input device: capture stays stopped, nothing fails.
        QVERIFY(!w.captureLoopForTest()->isOpened());
        w.NotifyRemoveMicroppone(8, QStringLiteral("NoSuchDevice"));
        QVERIFY(items(box).isEmpty());
    }

    void hoverHighlightsTheCurrentRow() {
        SonvaleMain w;
        QComboBox* box = mics(w);
        w.NotifyRemoveMicroppone(1, QStringLiteral("Other"));
        auto* model = qobject_cast<QStandardItemModel*>(box->model());
        QVERIFY(model);
        w.slotListViewEntered(model->index(1, 0));
        QCOMPARE(box->view()->toolTip(), QStringLiteral("Other"));
        QCOMPARE(model->item(0)->background().color(), QColor(206, 55, 168));
        QCOMPARE(model->item(0)->foreground().color(), QColor(Qt::white));
        QCOMPARE(model->item(1)->background().color(), QColor(Qt::white));
        QCOMPARE(model->item(1)->foreground().color(), QColor(Qt::black));
    }

    void placedBottomRightWithoutAPanel() {
        SonvaleMain w;
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QCOMPARE(QGuiApplication::primaryScreen()->availableGeometry(), screen);
        QCOMPARE(w.pos(), QPoint(screen.width() - w.width() - 70, screen.height() - w.height()));
    }

    void focusLossHidesUnlessThePointerIsInside() {
        SonvaleMain::setSystemTrayAvailableForTest(1);
        SonvaleMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect g = w.geometry();
        auto loseFocus = [&] {
            QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
            QCoreApplication::sendEvent(&w, &out);
        };
        QCursor::setPos(g.center());
        loseFocus();
        QVERIFY(w.isVisible());
        // The outermost column of pixels counts as outside.
        QCursor::setPos(QPoint(g.right(), g.center().y()));
        loseFocus();
        QVERIFY(!w.isVisible());
        w.show();
        QCursor::setPos(g.topLeft() - QPoint(5, 5));
        loseFocus();
        QVERIFY(!w.isVisible());
        // The tray icon's "主界面" brings it back at the same place.
        QMenu* trayMenu = TrayIcon::instance()->contextMenu();
        QVERIFY(trayMenu);
        QAction* showMain = nullptr;
        for (QAction* a : trayMenu->actions())
            if (a->text() == QStringLiteral("主界面")) showMain = a;
        QVERIFY(showMain);
        showMain->trigger();
        QVERIFY(w.isVisible());
        QCOMPARE(w.geometry(), g);
    }

    void menuSymbolOpensQuitWhichRestoresAndCloses() {
        SonvaleMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(defaults(), kVirtual);
        auto* symbol = w.findChild<QLabel*>(QStringLiteral("titlemenu"));
        QVERIFY(symbol);
        QTest::mousePress(symbol, Qt::LeftButton);
        QMenu* menu = w.findChild<QMenu*>();
        QVERIFY(menu);
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(menu->pos(), symbol->geometry().topLeft() + w.pos() - QPoint(160, 0));
        QCOMPARE(menu->actions().size(), 2);
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("Quit Sonvale"));
        // "Start at login" writes the autostart entry and takes it away.
        QAction* login = menu->actions().at(1);
        QCOMPARE(login->text(), QStringLiteral("Start at login"));
        QVERIFY(!login->isChecked());
        const QString entry = config.filePath(QStringLiteral("autostart/sonvale.desktop"));
        login->trigger();
        QFile file(entry);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(entry));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY2(text.contains(QStringLiteral("Exec=\"") + QCoreApplication::applicationFilePath() +
                               QStringLiteral("\"\n")),
                 qPrintable(text));
        QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]\nType=Application\n")));
        login->trigger();
        QVERIFY(!QFile::exists(entry));
        menu->actions().first()->trigger();
        QCOMPARE(defaults(), kStandins);
        QVERIFY(!w.isVisible());
    }

    void devicesShowDescriptionsAndTwinsStayApart() {
        QTemporaryDir dir;
        const QStringList modules{
            loadPipeSource(dir, QStringLiteral("Twin_A"), QStringLiteral("USB Headset")),
            loadPipeSource(dir, QStringLiteral("Twin_B"), QStringLiteral("USB Headset"))};
        {
            SonvaleMain w;
            QComboBox* box = mics(w);
            QCOMPARE(items(box), (QStringList{kStandins.second, "Twin_A", "Twin_B"}));
            const QStringList shown = labels(box);
            QCOMPARE(shown.at(0), QStringLiteral("Stand-in_microphone"));
            QVERIFY2(shown.at(1).startsWith(QStringLiteral("USB Headset")),
                     qPrintable(shown.at(1)));
            QVERIFY2(shown.at(2).startsWith(QStringLiteral("USB Headset")),
                     qPrintable(shown.at(2)));
            QVERIFY2(shown.at(1) != shown.at(2), qPrintable(shown.join('|')));
            QCOMPARE(labels(speakers(w)), QStringList{QStringLiteral("Stand-in_speaker")});
            // The name is the key: picking the second twin captures from it.
            box->setCurrentIndex(2);
            QTRY_COMPARE(w.captureLoopForTest()->deviceName(), QStringLiteral("Twin_B"));
            // Alone again, a twin shows its plain description.
            w.NotifyRemoveMicroppone(8, QStringLiteral("Twin_A"));
            QCOMPARE(labels(box), (QStringList{"Stand-in_microphone", "USB Headset"}));
            QCOMPARE(box->currentData(SonvaleMain::kDeviceNameRole).toString(),
                     QStringLiteral("Twin_B"));
        }
        for (const QString& index : modules) pactl({QStringLiteral("unload-module"), index});
    }

    void rememberedChoicesComeBackWhenTheDevicesAreThere() {
        QTemporaryDir dir;
        const QString second = QStringLiteral("Standin_Microphone_2");
        const QString module = loadPipeSource(dir, second, QStringLiteral("Second_microphone"));
        {
            SonvaleMain w;
            QTRY_COMPARE(w.captureLoopForTest()->deviceName(), kStandins.second);
            QComboBox* box = mics(w);
            const int index = items(box).indexOf(second);
            QVERIFY(index > 0);
            // What a pick in the popup does.
            box->setCurrentIndex(index);
            emit box->activated(index);
            QTest::mouseClick(w.findChild<ImageSwitch*>(QStringLiteral("widget_switchspeaker")),
                              Qt::LeftButton);
            QTest::mouseClick(w.findChild<ImageSwitch*>(QStringLiteral("widget_micrpphone")),
                              Qt::LeftButton);
        }
        auto switches = [](SonvaleMain& w) {
            return qMakePair(
                w.findChild<ImageSwitch*>(QStringLiteral("widget_micrpphone"))->getChecked(),
                w.findChild<ImageSwitch*>(QStringLiteral("widget_switchspeaker"))->getChecked());
        };
        {
            SonvaleMain w;
            QCOMPARE(mics(w)->currentData(SonvaleMain::kDeviceNameRole).toString(), second);
            QTRY_COMPARE(w.captureLoopForTest()->deviceName(), second);
            QCOMPARE(switches(w), qMakePair(false, true));
        }
        pactl({QStringLiteral("unload-module"), module});
        {
            // Not there: the first device, as without a memory; the switches
            // are still as left.
            SonvaleMain w;
            QTRY_COMPARE(w.captureLoopForTest()->deviceName(), kStandins.second);
            QCOMPARE(switches(w), qMakePair(false, true));
        }
    }

    void brokenDriverLinkSaysSoAndLeavesTheDefaults() {
        QTemporaryDir empty;  // the devices are there, their link is not
        const QByteArray before = qgetenv("SONVALE_DRIVER_DIR");
        qputenv("SONVALE_DRIVER_DIR", empty.path().toUtf8());
        BoxCloser closer;
        {
            SonvaleMain w;
            QCOMPARE(w.startupExitCode(), 0);
        }
        qputenv("SONVALE_DRIVER_DIR", before);
        QCOMPARE(closer.texts.size(), 1);
        QVERIFY2(
            closer.texts.first().startsWith(QStringLiteral("请先安装相关驱动程序|The companion "
                                                           "devices are there")),
            qPrintable(closer.texts.first()));
        QCOMPARE(defaults(), kStandins);
    }

    // English for every language but Chinese, which shows the program's own
    // texts; seen in the driver box and the tray menu.
    void textsFollowTheSystemLanguage() {
        QTemporaryDir empty;
        const QByteArray before = qgetenv("SONVALE_DRIVER_DIR");
        qputenv("SONVALE_DRIVER_DIR", empty.path().toUtf8());
        auto shown = [] {
            BoxCloser closer;
            SonvaleMain w;
            QStringList texts = closer.texts;
            for (QAction* a : TrayIcon::instance()->contextMenu()->actions()) texts << a->text();
            return texts.join(QLatin1Char('|'));
        };
        QVERIFY(sonvale::InstallTranslations({QStringLiteral("de-DE"), QStringLiteral("zh-CN")}));
        const QString english = shown();
        QVERIFY(!sonvale::InstallTranslations({QStringLiteral("zh-TW")}));
        const QString chinese = shown();
        sonvale::RemoveTranslations();
        qputenv("SONVALE_DRIVER_DIR", before);
        QVERIFY2(english.startsWith(QStringLiteral("Please install the companion devices first.|")),
                 qPrintable(english));
        QVERIFY2(english.endsWith(QStringLiteral("|Open Sonvale|Exit")), qPrintable(english));
        QVERIFY2(chinese.startsWith(QStringLiteral("请先安装相关驱动程序|")), qPrintable(chinese));
        QVERIFY2(chinese.endsWith(QStringLiteral("|主界面|退出")), qPrintable(chinese));
    }

    void withoutATrayThePanelStaysAndEscOnlyPutsItAway() {
        SonvaleMain::setSystemTrayAvailableForTest(0);
        SonvaleMain w;
        QVERIFY(!w.hidesOnFocusLoss());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCursor::setPos(w.geometry().topLeft() - QPoint(5, 5));
        QFocusEvent out(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
        QCoreApplication::sendEvent(&w, &out);
        QVERIFY(w.isVisible());
        // Esc and the window manager's close put it away to its taskbar
        // entry; the program goes on.
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isMinimized());
        QVERIFY(!w.close());
        QCOMPARE(defaults(), kVirtual);
        // A second start brings it to the front.
        bool answered = false;
        std::thread second(
            [&] { answered = sonvale::AskHolderToShow(sonvale::SingleInstanceName()); });
        QTRY_VERIFY_WITH_TIMEOUT(!w.isMinimized() && w.isVisible(), 5000);
        second.join();
        QVERIFY(answered);

        // The tray icon's tooltip says what is being cleaned.
        auto* icon = TrayIcon::instance()->findChild<QSystemTrayIcon*>();
        QVERIFY(icon);
        QCOMPARE(icon->toolTip(),
                 QStringLiteral("Sonvale: noise cancelling on for the microphone"));
        QTest::mouseClick(w.findChild<ImageSwitch*>(QStringLiteral("widget_switchspeaker")),
                          Qt::LeftButton);
        QCOMPARE(icon->toolTip(),
                 QStringLiteral("Sonvale: noise cancelling on for the microphone and the speaker"));
    }

    void withATrayEscHides() {
        SonvaleMain::setSystemTrayAvailableForTest(1);
        SonvaleMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(!w.isVisible());
        QCOMPARE(defaults(), kVirtual);
    }

    // Last: the tray's exit ends every event loop of the application.
    void trayExitEndsTheEventLoopAndTheDefaultsComeBack() {
        {
            SonvaleMain w;
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QCOMPARE(defaults(), kVirtual);
            QAction* exitAction = nullptr;
            for (QAction* a : TrayIcon::instance()->contextMenu()->actions())
                if (a->text() == QStringLiteral("退出")) exitAction = a;
            QVERIFY(exitAction);
            QEventLoop loop;
            QTimer::singleShot(0, exitAction, &QAction::trigger);
            QCOMPARE(loop.exec(), 0);
        }
        QCOMPARE(defaults(), kStandins);
    }
};

QTEST_MAIN(AppWindowTest)
#include "app_window_test.moc"
