#include "client/app/application.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>

#include "gui_test_support.h"

namespace {

using tovra::client::kProgramTitle;
using tovra::client::testing_support::MessageBoxCatcher;
using tovra::client::testing_support::QtEnvironment;
using tovra::client::testing_support::RunModal;

// The handler lives in the application object, so it must be the one of this program.
const auto* const kApp = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

class ErrorOfOurs : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A click as the window system delivers it: through the window, not to the button itself.
void ClickThroughWindow(QAbstractButton* button) {
  QWindow* window = button->window()->windowHandle();
  ASSERT_NE(window, nullptr);
  QTest::mouseClick(window, Qt::LeftButton, {},
                    button->mapTo(button->window(), button->rect().center()));
}

// A window with a button that raises, and one that only counts its clicks.
struct Form {
  Form() {
    auto* layout = new QVBoxLayout(&window);
    thrower = new QPushButton(QStringLiteral("throw"), &window);
    counter = new QPushButton(QStringLiteral("count"), &window);
    layout->addWidget(thrower);
    layout->addWidget(counter);
    QObject::connect(counter, &QPushButton::clicked, [this] { ++counted; });
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  QWidget window;
  QPushButton* thrower;
  QPushButton* counter;
  int counted = 0;
};

TEST(ApplicationTest, AnErrorEscapingASlotIsShownAndTheProgramGoesOn) {
  struct Case {
    const char* name;
    std::function<void(Form&)> trigger;
  };
  const Case cases[] = {
      {"mouse click", [](Form& form) { ClickThroughWindow(form.thrower); }},
      {"space bar on the focused button",
       [](Form& form) {
         form.thrower->setFocus();
         QTest::keyClick(form.window.windowHandle(), Qt::Key_Space);
       }},
      {"click from a queued call",
       [](Form& form) {
         bool ran = false;
         QTimer::singleShot(0, form.thrower, [&form, &ran] {
           ran = true;
           form.thrower->click();
         });
         EXPECT_TRUE(QTest::qWaitFor([&ran] { return ran; }, 5000));
       }},
  };
  for (const Case& c : cases) {
    Form form;
    int unwound = 0;
    struct Sentinel {
      int& count;
      ~Sentinel() { ++count; }
    };
    QObject::connect(form.thrower, &QPushButton::clicked, [&unwound] {
      Sentinel sentinel{unwound};
      throw ErrorOfOurs("Gr\u00FC\u00DFe: '60o0' is not a valid integer value");
    });
    MessageBoxCatcher boxes;
    c.trigger(form);
    ASSERT_EQ(boxes.boxes.size(), 1u) << c.name;
    EXPECT_EQ(boxes.boxes[0].text,
              QString::fromUtf8("Gr\u00FC\u00DFe: '60o0' is not a valid integer value"));
    EXPECT_EQ(boxes.boxes[0].title, kProgramTitle);
    EXPECT_EQ(boxes.boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(unwound, 1) << c.name;
    // The program goes on: the button is not left pressed, and the next clicks arrive.
    EXPECT_FALSE(form.thrower->isDown()) << c.name;
    ClickThroughWindow(form.counter);
    EXPECT_EQ(form.counted, 1) << c.name;
    c.trigger(form);
    EXPECT_EQ(boxes.boxes.size(), 2u) << c.name;
    EXPECT_EQ(unwound, 2) << c.name;
  }
}

TEST(ApplicationTest, AnErrorWithoutAMessageGetsASentence) {
  struct Case {
    const char* name;
    std::function<void()> raise;
  };
  const Case cases[] = {
      {"not a std::exception", [] { throw 42; }},
      {"empty message", [] { throw std::runtime_error(""); }},
  };
  for (const Case& c : cases) {
    Form form;
    QObject::connect(form.thrower, &QPushButton::clicked, c.raise);
    MessageBoxCatcher boxes;
    ClickThroughWindow(form.thrower);
    EXPECT_EQ(boxes.Texts(), QStringList{"An unknown error stopped the last action."}) << c.name;
    ClickThroughWindow(form.counter);
    EXPECT_EQ(form.counted, 1) << c.name;
  }
}

// A dialog whose accept raises while `refuse` is set, as a dialog that checks its input
// with a conversion on the way out.
class CheckingDialog : public QDialog {
 public:
  CheckingDialog() {
    auto* layout = new QVBoxLayout(this);
    ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    inner = new QPushButton(QStringLiteral("inner"), this);
    inner->setAutoDefault(false);
    layout->addWidget(ok);
    layout->addWidget(inner);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  void accept() override {
    if (refuse)
      throw ErrorOfOurs("refused on accept");
    QDialog::accept();
  }
  bool refuse = true;
  QPushButton* ok;
  QPushButton* inner;
};

TEST(ApplicationTest, AnErrorInsideAModalDialogLeavesItOpen) {
  // Raised by accept: from a click and from Enter on the default button.
  for (bool by_key : {false, true}) {
    CheckingDialog dialog;
    MessageBoxCatcher boxes;
    bool open_after_error = false;
    const int result = RunModal(dialog, [&] {
      if (by_key)
        QTest::keyClick(dialog.windowHandle(), Qt::Key_Return);
      else
        ClickThroughWindow(dialog.ok);
      open_after_error = dialog.isVisible();
      dialog.refuse = false;
      ClickThroughWindow(dialog.ok);
    });
    EXPECT_EQ(boxes.Texts(), QStringList{"refused on accept"}) << by_key;
    EXPECT_TRUE(open_after_error) << by_key;
    EXPECT_EQ(result, QDialog::Accepted) << by_key;
    // Over the dialog that raised, so it shows where the user was working.
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].owner, &dialog);
  }
}

TEST(ApplicationTest, AnErrorAfterANestedDialogClosedLeavesTheOuterOneOpen) {
  // The outer dialog's slot runs an inner dialog and raises once it has closed, as a
  // dialog that converts what the inner one handed back.
  CheckingDialog outer;
  outer.refuse = false;
  bool inner_result_seen = false;
  QObject::connect(outer.inner, &QPushButton::clicked, [&] {
    CheckingDialog inner;
    QTimer::singleShot(0, &inner, [&inner] {
      // Raised inside the inner loop first: the inner dialog stays open.
      ClickThroughWindow(inner.ok);
      EXPECT_TRUE(inner.isVisible());
      inner.refuse = false;
      ClickThroughWindow(inner.ok);
    });
    inner_result_seen = inner.exec() == QDialog::Accepted;
    throw ErrorOfOurs("raised after the inner dialog closed");
  });
  MessageBoxCatcher boxes;
  bool outer_open = false;
  const int result = RunModal(outer, [&] {
    ClickThroughWindow(outer.inner);
    outer_open = outer.isVisible();
    ClickThroughWindow(outer.ok);
  });
  EXPECT_TRUE(inner_result_seen);
  EXPECT_EQ(boxes.Texts(),
            (QStringList{"refused on accept", "raised after the inner dialog closed"}));
  EXPECT_TRUE(outer_open);
  EXPECT_EQ(result, QDialog::Accepted);
  ASSERT_EQ(boxes.boxes.size(), 2u);
  EXPECT_EQ(boxes.boxes[1].owner, &outer);
}

TEST(ApplicationTest, AnErrorOnAnotherThreadShowsNoBoxAndTheThreadGoesOn) {
  QThread thread;
  thread.start();
  QObject worker;
  worker.moveToThread(&thread);
  MessageBoxCatcher boxes;
  std::atomic<bool> after{false};
  QMetaObject::invokeMethod(&worker, [] { throw ErrorOfOurs("raised on a worker thread"); });
  QMetaObject::invokeMethod(&worker, [&after] { after = true; });
  EXPECT_TRUE(QTest::qWaitFor([&after] { return after.load(); }, 5000));
  thread.quit();
  thread.wait();
  EXPECT_TRUE(boxes.boxes.empty());
}

}  // namespace
