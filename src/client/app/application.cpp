#include "client/app/application.h"

#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <cstdio>

namespace tovra::client {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {}

bool Application::notify(QObject* receiver, QEvent* event) {
  // Caught at the innermost delivery, so the error passes only through the frames of the
  // one event that raised it; the event loops and the deliveries around it go on as usual.
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

QString Application::MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    const QString text = QString::fromUtf8(e.what());
    if (!text.isEmpty()) {
      return text;
    }
  } catch (...) {
  }
  return QStringLiteral("An unknown error stopped the last action.");
}

void Application::HandleException(std::exception_ptr error) noexcept {
  QString text;
  try {
    text = MessageOf(error);
    // A box belongs to the GUI thread; elsewhere the message can only be written out.
    if (QCoreApplication::instance() != nullptr &&
        QThread::currentThread() == QCoreApplication::instance()->thread()) {
      QWidget* owner = QApplication::activeModalWidget();
      if (owner == nullptr) {
        owner = QApplication::activeWindow();
      }
      QMessageBox::critical(owner, kProgramTitle, text, QMessageBox::Ok);
      return;
    }
  } catch (...) {
    // Showing the box failed (out of memory, most likely): fall back to the error stream.
  }
  std::fprintf(stderr, "%s: %s\n", qPrintable(kProgramTitle), qPrintable(text));
}

}  // namespace tovra::client
