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
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include "SonvaleMain.h"
#include "audio/PcmCaptureLoop.h"
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

QStringList items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

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

private slots:
    void init() {
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
            QVERIFY(w.captureLoopForTest()->isOpened());
            QCOMPARE(w.captureLoopForTest()->deviceName(), kStandins.second);
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
        QCOMPARE(box->currentText(), first);
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
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().first()->text(), QStringLiteral("Quit Sonvale"));
        menu->actions().first()->trigger();
        QCOMPARE(defaults(), kStandins);
        QVERIFY(!w.isVisible());
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
