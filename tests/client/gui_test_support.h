#pragma once

// Shared pieces of the client's GUI tests: the program's own application object, a catcher
// that answers message boxes, input delivered through the window as the window system
// does, and scripts that drive modal dialogs from a timer while the code under test waits
// in their exec().

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "client/app/application.h"

namespace tovra::client::testing_support {

// The application class of the real programs, so that an error escaping a handler is
// shown in its error box exactly as a user would see it.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "tovra_gui_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<Application>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<Application> app_;
};

// A click as the window system delivers it: to the window, which passes it to the button.
inline void ClickThroughWindow(QAbstractButton* button) {
  QWindow* window = button->window()->windowHandle();
  ASSERT_NE(window, nullptr) << button->text().toStdString();
  QTest::mouseClick(window, Qt::LeftButton, {},
                    button->mapTo(button->window(), button->rect().center()));
}

// A key pressed while `widget` has the focus, delivered through its window.
inline void KeyThroughWindow(QWidget* widget, Qt::Key key) {
  widget->setFocus();
  QTest::keyClick(widget->window()->windowHandle(), key);
}

// Runs `dialog` modally and plays `steps` once it shows; a watchdog ends it when the steps
// never do. The result is exec()'s.
inline int RunModal(QDialog& dialog, std::function<void()> steps) {
  QTimer::singleShot(0, &dialog, [&dialog, steps] {
    EXPECT_TRUE(QTest::qWaitForWindowActive(&dialog));
    steps();
  });
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&dialog] {
    ADD_FAILURE() << "the modal dialog was still open after 20 s";
    dialog.done(-1);
  });
  watchdog.start(20000);
  return dialog.exec();
}

// Every modal message box that appears is recorded and answered with `answer`.
class MessageBoxCatcher {
 public:
  explicit MessageBoxCatcher(QMessageBox::StandardButton answer = QMessageBox::Ok)
      : answer_(answer) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }

  struct Box {
    QMessageBox::Icon icon;
    QString text;
    QString title;
    QWidget* owner;  // the window the box was shown over
  };
  std::vector<Box> boxes;

  QStringList Texts() const {
    QStringList texts;
    for (const Box& box : boxes)
      texts << box.text;
    return texts;
  }

 private:
  void Poll() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box != nullptr && box->isVisible()) {
        boxes.push_back({box->icon(), box->text(), box->windowTitle(), box->parentWidget()});
        QAbstractButton* button = box->button(answer_);
        ASSERT_NE(button, nullptr) << box->text().toStdString();
        button->click();
        return;
      }
    }
  }

  QMessageBox::StandardButton answer_;
  QTimer timer_;
};

// Steps run one after the other, each once a visible top-level widget of its type shows.
class ModalScript {
 public:
  ModalScript() {
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(5);
  }

  template <class Dialog>
  ModalScript& On(std::function<void(Dialog&)> action) {
    steps_.push_back([action](QWidget* widget) {
      auto* dialog = qobject_cast<Dialog*>(widget);
      if (dialog == nullptr)
        return false;
      action(*dialog);
      return true;
    });
    return *this;
  }

  bool Done() const { return steps_.empty(); }

 private:
  void Poll() {
    if (steps_.empty())
      return;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->isVisible() && widget->isModal() && steps_.front()(widget)) {
        steps_.pop_front();
        return;
      }
    }
  }

  std::deque<std::function<bool(QWidget*)>> steps_;
  QTimer timer_;
};

}  // namespace tovra::client::testing_support
