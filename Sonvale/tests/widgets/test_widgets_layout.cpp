// The generated window layout and the resource bundle: widget tree, names,
// geometry, texts, fonts and style sheets; automatic slot binding by object
// name; every resource path resolving to real content.

#include <QDialog>
#include <QFile>
#include <QFontDatabase>
#include <QImageReader>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include "comboxlist.h"
#include "imageswitch.h"
#include "ui_sonvalemain.h"

namespace {

// A window with slots named after its widgets, as the main window has.
class NamedSlots : public QDialog {
    Q_OBJECT
public:
    NamedSlots() { ui.setupUi(this); }
    Ui::SonvaleMain ui;
    int arrowClicks = 0;
    int speakerArrowClicks = 0;
    QStringList microphoneTexts;
    QList<bool> switchStates;

private slots:
    void on_pushButton_arrow_clicked() { ++arrowClicks; }
    void on_pushButton_arrow_speaker_clicked() { ++speakerArrowClicks; }
    void on_comboBox_Microphone_currentTextChanged(const QString& t) { microphoneTexts << t; }
    void on_widget_micrpphone_checkedChanged(bool checked) { switchStates << checked; }
};

// Resource paths the program uses, with the pixel size each must have.
struct Image {
    const char* path;
    QSize size;
};
const Image kImages[] = {
    {":/main.ico", {256, 256}},
    {":/switch-off.png", {128, 128}},
    {":/switch-on.png", {128, 128}},
    {":/switch_disable.png", {128, 128}},
    {":/microphone.png", {128, 128}},
    {":/n-microphone.png", {128, 128}},
    {":/speaker.png", {128, 128}},
    {":/warntip.png", {128, 128}},
    {":/user.png", {128, 128}},
    {":/refresh.png", {128, 128}},
    {":/select.png", {23, 23}},
    {":/arrow.png", {16, 16}},
    {":/image/imageswitch/btncheckoff1.png", {87, 28}},
    {":/image/imageswitch/btncheckon1.png", {87, 28}},
    {":/image/imageswitch/btncheckoff2.png", {87, 28}},
    {":/image/imageswitch/btncheckon2.png", {87, 28}},
    {":/image/imageswitch/btncheckoff3.png", {96, 38}},
    {":/image/imageswitch/btncheckon3.png", {96, 38}},
};

// Opaque pixels, so an image that loads but is blank fails.
int visiblePixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 128;
    return n;
}

}  // namespace

class TestLayout : public QObject {
    Q_OBJECT

private slots:
    void windowProperties();
    void widgetTree_data();
    void widgetTree();
    void fonts_data();
    void fonts();
    void stackingAndFrames();
    void retranslateRestoresTheTexts();
    void slotsBindByObjectName();
    void resourceImages_data();
    void resourceImages();
    void styleSheetImagesResolve();
    void messageBoxStyleSheet();
    void chineseTextHasAFont();
};

void TestLayout::windowProperties() {
    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);
    QCOMPARE(w.objectName(), QStringLiteral("SonvaleMain"));
    QCOMPARE(w.windowTitle(), QStringLiteral("SonvaleMain"));
    QCOMPARE(w.size(), QSize(310, 380));
    QCOMPARE(w.maximumSize(), QSize(310, 485));
    QVERIFY(!w.isModal());

    w.resize(1000, 1000);
    QCOMPARE(w.size(), QSize(310, 485));
}

void TestLayout::widgetTree_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cls");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");  // "-" where the widget has none

    const QString W = QStringLiteral("SonvaleMain");
    const QString M = QStringLiteral("frame_microphone");
    const QString S = QStringLiteral("frame_speaker");
    const QString U = QStringLiteral("frame_updateInfo");
    auto row = [](const char* n, const char* c, const QString& p, QRect g, const char* t) {
        QTest::newRow(n) << QString::fromUtf8(n) << QString::fromUtf8(c) << p << g
                         << QString::fromUtf8(t);
    };
    row("label_menu", "QLabel", W, {280, 10, 23, 23}, "");
    row("label_refresh", "QLabel", W, {250, 10, 23, 23}, "");
    row("label", "QLabel", W, {10, 9, 121, 24}, "Sonvale");
    row("pushButton_showWeight", "QPushButton", W, {170, 30, 108, 24}, "Show Widght");
    row("frame_microphone", "QFrame", W, {10, 49, 291, 151}, "-");
    row("label_mocrophone", "QLabel", M, {10, 10, 111, 17}, "Microphone");
    row("label_imagestat", "QLabel", M, {110, 9, 20, 20}, "");
    row("comboBox_Microphone", "ComboxList", M, {60, 60, 221, 40}, "-");
    row("label_NoiseCancel", "QLabel", M, {10, 40, 171, 16}, "Test Noise Cancellation");
    row("label_2", "QLabel", M, {10, 120, 181, 16}, "Cancel Noise");
    row("label_MicroIcon", "QLabel", M, {10, 60, 51, 40}, "");
    row("label_microphoneicon", "QLabel", M, {26, 62, 24, 26}, "");
    row("label_MuteLabel", "QLabel", M, {26, 80, 31, 30}, "Mute");
    row("pushButton_arrow", "QPushButton", M, {262, 73, 14, 14}, "");
    row("widget_micrpphone", "ImageSwitch", M, {230, 110, 51, 51}, "-");
    row("label_MicroUsestatus", "QLabel", M, {240, 9, 41, 16}, "not used");
    row("frame_speaker", "QFrame", W, {10, 221, 291, 131}, "-");
    row("label_Speaker", "QLabel", S, {10, 10, 71, 16}, "Speaker");
    row("label_imagestat_speaker", "QLabel", S, {70, 8, 21, 21}, "");
    row("comboBox_Speaker", "ComboxList", S, {60, 40, 221, 40}, "-");
    row("label_speaker", "QLabel", S, {10, 100, 181, 16}, "Cancel Noise");
    row("label_MicroIcon_2", "QLabel", S, {10, 40, 51, 40}, "");
    row("label_microphoneicon_speaker", "QLabel", S, {26, 48, 24, 26}, "");
    row("pushButton_arrow_speaker", "QPushButton", S, {262, 54, 14, 14}, "");
    row("widget_switchspeaker", "ImageSwitch", S, {230, 80, 51, 51}, "-");
    row("label_MicroUsestatus_speaker", "QLabel", S, {240, 9, 41, 16}, "not used");
    row("label_Image", "QLabel", W, {18, 48, 24, 24}, "");
    row("label_Accountname", "QLabel", W, {50, 50, 111, 21}, "-");
    row("frame_updateInfo", "QFrame", W, {10, 420, 291, 55}, "-");
    row("pushButton_Upgrade", "QPushButton", U, {180, 13, 101, 31}, "Upgrade");
    row("label_UpdateText", "QLabel", U, {10, 10, 161, 41},
        "Not have any update this is newest version");
}

void TestLayout::widgetTree() {
    QFETCH(QString, name);
    QFETCH(QString, cls);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);

    QWidget* widget = w.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    // ComboxList has no meta-object of its own.
    if (cls == QLatin1String("ComboxList")) {
        QVERIFY(dynamic_cast<ComboxList*>(widget));
    } else {
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), cls);
    }
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), geometry);
    if (text != QLatin1String("-")) QCOMPARE(widget->property("text").toString(), text);
}

void TestLayout::fonts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<int>("bold");  // -1: not set by the layout
    QTest::newRow("window") << "SonvaleMain"
                            << "Arial" << 16 << 1;
    QTest::newRow("label_menu") << "label_menu"
                                << "Arial" << 24 << 1;
    QTest::newRow("label") << "label" << QString::fromUtf8("微软雅黑") << 12 << 1;
    QTest::newRow("label_2") << "label_2"
                             << "Arial" << 16 << 1;
    QTest::newRow("label_MuteLabel") << "label_MuteLabel"
                                     << "Arial" << 6 << -1;
    QTest::newRow("label_Accountname") << "label_Accountname"
                                       << "Arial" << 8 << 0;
    QTest::newRow("label_UpdateText") << "label_UpdateText"
                                      << "" << 8 << 1;
    QTest::newRow("label_Speaker") << "label_Speaker"
                                   << "Arial" << -1 << 1;
}

void TestLayout::fonts() {
    QFETCH(QString, name);
    QFETCH(QString, family);
    QFETCH(int, pointSize);
    QFETCH(int, bold);

    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);
    QWidget* widget = name == w.objectName() ? &w : w.findChild<QWidget*>(name);
    QVERIFY(widget);
    // Only what the layout sets itself is checked; the rest of each font is
    // left to Qt's propagation.
    if (!family.isEmpty()) QCOMPARE(widget->font().family(), family);
    if (pointSize > 0) QCOMPARE(widget->font().pointSize(), pointSize);
    if (bold >= 0) QCOMPARE(widget->font().bold(), bold == 1);
    if (name == QLatin1String("label_menu")) {
        QCOMPARE(ui.label_menu->alignment(), Qt::AlignCenter);
    }
}

void TestLayout::stackingAndFrames() {
    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);

    // Inside the microphone frame the combo box lies beneath all its
    // siblings; in both frames the arrow button lies above its combo box.
    const QObjectList mic = ui.frame_microphone->children();
    QCOMPARE(mic.first(), ui.comboBox_Microphone);
    const QObjectList spk = ui.frame_speaker->children();
    QVERIFY(spk.indexOf(ui.pushButton_arrow_speaker) > spk.indexOf(ui.comboBox_Speaker));
    QVERIFY(spk.indexOf(ui.label_MicroIcon_2) > spk.indexOf(ui.comboBox_Speaker));
    QVERIFY(spk.indexOf(ui.label_microphoneicon_speaker) > spk.indexOf(ui.label_MicroIcon_2));
    QVERIFY(mic.indexOf(ui.label_microphoneicon) > mic.indexOf(ui.label_MicroIcon));

    for (QFrame* f : {ui.frame_microphone, ui.frame_speaker, ui.frame_updateInfo}) {
        QCOMPARE(f->frameShape(), QFrame::StyledPanel);
        QCOMPARE(f->frameShadow(), QFrame::Raised);
    }
    // The update frame lies below the window's height.
    QVERIFY(ui.frame_updateInfo->geometry().top() >= w.height());
    // Stays invisible although never hidden: no text, no style.
    QVERIFY(ui.label_imagestat_speaker->text().isEmpty());
    QVERIFY(ui.label_imagestat_speaker->styleSheet().isEmpty());
}

void TestLayout::retranslateRestoresTheTexts() {
    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);
    ui.label->setText(QStringLiteral("x"));
    w.setWindowTitle(QStringLiteral("x"));
    ui.retranslateUi(&w);
    QCOMPARE(ui.label->text(), QStringLiteral("Sonvale"));
    QCOMPARE(w.windowTitle(), QStringLiteral("SonvaleMain"));
    // The account placeholder: eight asterisks, an at sign, a mail domain.
    QVERIFY(QRegularExpression(QStringLiteral("^\\*{8}@[a-z0-9-]+(\\.[a-z]+)+$"))
                .match(ui.label_Accountname->text())
                .hasMatch());
}

void TestLayout::slotsBindByObjectName() {
    NamedSlots w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));

    QTest::mouseClick(w.ui.pushButton_arrow, Qt::LeftButton);
    QCOMPARE(w.arrowClicks, 1);
    QTest::mouseClick(w.ui.pushButton_arrow_speaker, Qt::LeftButton);
    QCOMPARE(w.speakerArrowClicks, 1);
    w.ui.comboBox_Microphone->addItem(QStringLiteral("Built-in Microphone"));
    QCOMPARE(w.microphoneTexts, QStringList{QStringLiteral("Built-in Microphone")});
    QTest::mousePress(w.ui.widget_micrpphone, Qt::LeftButton);
    QCOMPARE(w.switchStates, QList<bool>{true});
}

void TestLayout::resourceImages_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    for (const Image& i : kImages) QTest::newRow(i.path) << QString::fromLatin1(i.path) << i.size;
}

void TestLayout::resourceImages() {
    QFETCH(QString, path);
    QFETCH(QSize, size);

    QVERIFY2(QFile::exists(path), qPrintable(path));
    QImageReader reader(path);
    const QImage img = reader.read();
    QVERIFY2(!img.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(img.size(), size);
    QVERIFY(visiblePixels(img) > size.width() * size.height() / 20);

    if (path.endsWith(QLatin1String(".ico"))) {
        QCOMPARE(reader.imageCount(), 1);
        QCOMPARE(img.depth(), 32);
        return;
    }
    // The high-density twin, picked automatically by Qt at 200 %.
    QString twin = path;
    twin.insert(twin.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
    const QImage big(twin);
    QVERIFY2(!big.isNull(), qPrintable(twin));
    QCOMPARE(big.size(), size * 2);
}

void TestLayout::styleSheetImagesResolve() {
    QDialog w;
    Ui::SonvaleMain ui;
    ui.setupUi(&w);

    // Every url(...) in the layout's style sheets, plus the two title labels
    // the window styles after setupUi.
    QStringList sheets{QStringLiteral("#titlerefresh{border-image:url(:/refresh.png);}"),
                       QStringLiteral("#titlemenu{border-image:url(:/select.png);}")};
    for (QWidget* child : w.findChildren<QWidget*>()) sheets << child->styleSheet();

    const QRegularExpression url(QStringLiteral("url\\(([^)]+)\\)"));
    QStringList paths;
    for (const QString& sheet : sheets) {
        auto it = url.globalMatch(sheet);
        while (it.hasNext()) paths << it.next().captured(1);
    }
    paths.removeDuplicates();
    QCOMPARE(paths.size(), 7);  // warntip, microphone, speaker, arrow, user, refresh, select
    for (const QString& p : paths) {
        QVERIFY2(p.startsWith(QLatin1String(":/")), qPrintable(p));
        QVERIFY2(!QImage(p).isNull(), qPrintable(p));
    }
}

void TestLayout::messageBoxStyleSheet() {
    QFile f(QStringLiteral(":/qss/messagebox.qss"));
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString qss = QString::fromUtf8(f.readAll());

    // The rules, in their order.
    QStringList selectors;
    const QRegularExpression rule(QStringLiteral("([^{}]+)\\{"));
    auto it = rule.globalMatch(qss);
    while (it.hasNext()) selectors << it.next().captured(1).trimmed();
    QCOMPARE(selectors, (QStringList{
                            "QMessageBox",
                            "QMessageBox QLabel#qt_msgbox_label",
                            "QMessageBox QLabel#qt_msgboxex_icon_label",
                            "QMessageBox QPushButton",
                            "QMessageBox QPushButton:hover",
                            "QMessageBox QPushButton:pressed",
                            "QMessageBox QDialogButtonBox#qt_msgbox_buttonbox",
                        }));
    QVERIFY(qss.contains(QLatin1String("button-layout: 0")));
}

void TestLayout::chineseTextHasAFont() {
    // The tray menu, the message boxes and the title font's name need a font
    // with Chinese glyphs, or the texts render as boxes.
    bool covered = false;
    for (const QString& family : QFontDatabase().families(QFontDatabase::SimplifiedChinese)) {
        const QFontMetrics m{QFont(family)};
        covered = covered || (m.inFont(QChar(0x9000)) && m.inFont(QChar(0x4E3B)));  // 退, 主
    }
    QVERIFY2(covered, "no font for Chinese text is installed");
}

QTEST_MAIN(TestLayout)
#include "test_widgets_layout.moc"
