#pragma once

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <utility>

#include "correction/error.h"

namespace velmora::testing {

// Moves the process into a fresh temporary folder for one test class, so "data.dat" and every
// picture land there, and moves back when done.
class TemporaryWorkFolder {
  public:
    TemporaryWorkFolder() : previous_(QDir::currentPath()) { QDir::setCurrent(folder_.path()); }
    ~TemporaryWorkFolder() { QDir::setCurrent(previous_); }

    QString path() const { return folder_.path(); }
    QString file(const QString& name) const { return folder_.filePath(name); }

  private:
    QString previous_;
    QTemporaryDir folder_;
};

// Watches, while the caller is blocked in a nested event loop, for the first visible top-level
// widget of type Window and hands it to `act` once. Watching stops when the watch goes.
template <typename Window>
class WhenShown {
  public:
    explicit WhenShown(std::function<void(Window*)> act) : act_(std::move(act)) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        timer_.start();
    }
    WhenShown(const WhenShown&) = delete;
    WhenShown& operator=(const WhenShown&) = delete;

    bool came() const { return came_; }

  private:
    void Look() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* window = qobject_cast<Window*>(widget);
            if (window != nullptr && window->isVisible()) {
                timer_.stop();
                came_ = true;
                act_(window);
                return;
            }
        }
    }

    std::function<void(Window*)> act_;
    QTimer timer_;
    bool came_ = false;
};

// Closes the next error report (a message box) that appears and keeps what it said.
class ReportCatcher {
  public:
    ReportCatcher()
        : watch_([this](QMessageBox* box) {
              title = box->windowTitle();
              text = box->text();
              box->accept();
          }) {}

    bool shown() const { return watch_.came(); }
    QString title;
    QString text;

  private:
    WhenShown<QMessageBox> watch_;
};

// Runs `action` and returns the kind of velmora::Error it raised; fails the test if none.
template <typename Action>
ErrorKind KindOf(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.kind();
    }
    QTest::qFail("no error was raised", __FILE__, __LINE__);
    return ErrorKind::Overflow;
}

}  // namespace velmora::testing
