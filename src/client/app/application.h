#pragma once

// The QApplication of every program of the client. An error that escapes an event handler
// ends that handler only: its message is shown in an error box and the program goes on
// with the next event. Nothing is rolled back.

#include <QApplication>
#include <QString>
#include <exception>

namespace tovra::client {

// The program's name, the title of its error boxes.
inline const QString kProgramTitle = QStringLiteral("TOVRA!-User-Manager");

class Application : public QApplication {
 public:
  Application(int& argc, char** argv);

  // Delivers the event; an error escaping the receiver's handlers goes to HandleException
  // and the event counts as not handled.
  bool notify(QObject* receiver, QEvent* event) override;

  // Shows the message of `error` in a modal error box over the window in front and returns
  // when the user has closed it. Call it from a catch block that keeps an error away from
  // Qt's own frames. Never raises.
  static void HandleException(std::exception_ptr error) noexcept;

  // The text the box shows for `error`: the error's own message, or a sentence of our own
  // for an error that carries none.
  static QString MessageOf(std::exception_ptr error);
};

}  // namespace tovra::client
