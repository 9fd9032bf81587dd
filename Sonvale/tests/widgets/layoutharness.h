#pragma once

// A stand-in for the main window in tests: builds the generated layout on a
// dialog and makes the same adjustments the window makes after setupUi
// (spare widgets hidden, frameless, title labels, palette, list views), so
// the result looks as the user sees it.

#include <QDialog>
#include <QListView>
#include <QPainter>
#include <QStyleOption>

#include "comboxlist.h"
#include "ui_sonvalemain.h"

class LayoutHarness : public QDialog {
public:
    explicit LayoutHarness(QWidget* parent = nullptr) : QDialog(parent) {
        ui.setupUi(this);
        setWindowIcon(QIcon(QStringLiteral(":/main.ico")));

        const QList<QWidget*> spare{
            ui.label_Image,        ui.label_Accountname,    ui.pushButton_showWeight,
            ui.label_refresh,      ui.label_MicroUsestatus, ui.label_UpdateText,
            ui.pushButton_Upgrade, ui.label_imagestat,      ui.label_MicroUsestatus_speaker,
            ui.frame_updateInfo,   ui.label_NoiseCancel};
        for (QWidget* w : spare) {
            w->hide();
        }

        setWindowFlags(Qt::FramelessWindowHint);
        setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);

        QPalette pal = palette();
        pal.setColor(QPalette::Window, QColor(245, 244, 248, 255));
        setPalette(pal);
        setStyleSheet(QStringLiteral("#SonvaleMain{background-color:#F5F4F8}"));

        ui.label_refresh->setObjectName(QStringLiteral("titlerefresh"));
        ui.label_refresh->setStyleSheet(
            QStringLiteral("#titlerefresh{border-image:url(:/refresh.png);}"));
        ui.label_menu->setObjectName(QStringLiteral("titlemenu"));
        ui.label_menu->setStyleSheet(QStringLiteral("#titlemenu{border-image:url(:/select.png);}"));
        ui.pushButton_showWeight->move(188, 45);

        for (ComboxList* combo : {ui.comboBox_Microphone, ui.comboBox_Speaker}) {
            auto* view = new QListView;
            combo->setView(view);
            view->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
            combo->setMaxVisibleItems(3);
            combo->owner = this;
        }
    }

    Ui::SonvaleMain ui;

protected:
    // Lets style-sheet backgrounds apply to this QDialog subclass.
    void paintEvent(QPaintEvent*) override {
        QStyleOption opt;
        opt.initFrom(this);
        QPainter p(this);
        style()->drawPrimitive(QStyle::PE_Widget, &opt, &p, this);
    }
};
