// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the GUI thread, through
// a self-pipe watched by a QSocketNotifier, so that the program can put the
// default devices back and leave its event loop normally instead of dying in
// the middle of whatever it was doing.
#pragma once

#include <QObject>

class QSocketNotifier;

class ExitSignals : public QObject {
    Q_OBJECT

public:
    // Installs the handlers. Only one instance may exist at a time.
    explicit ExitSignals(QObject* parent = nullptr);
    ~ExitSignals() override;  // puts the default handlers back

signals:
    // Emitted on the GUI thread for each signal received.
    void terminationRequested(int signalNumber);

private slots:
    void onReadable();

private:
    QSocketNotifier* notifier_ = nullptr;
};
