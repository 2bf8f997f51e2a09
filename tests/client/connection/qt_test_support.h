#pragma once

// Shared pieces of the dialog tests: one QApplication per test program, a catcher that
// answers message boxes, and a script that drives modal dialogs from a timer while the
// code under test waits in their exec().

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>

namespace tovra::client::testing_support {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "connection_dialog_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

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
        boxes.push_back({box->icon(), box->text()});
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

// Each test has a store of its own, as a new user on a fresh machine.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(config_dir_.isValid());
    qputenv("XDG_CONFIG_HOME", config_dir_.path().toUtf8());
  }
  QTemporaryDir config_dir_;
};

}  // namespace tovra::client::testing_support
