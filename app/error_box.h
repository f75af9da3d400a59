#pragma once

#include <QString>
#include <exception>
#include <functional>
#include <string>

#include "base/errors.h"

class QWidget;

namespace tallon::app {

// The title every message box of the program carries.
inline constexpr const char* kApplicationTitle = "Tallon";

enum class MessageKind { Information, Error };

// Shows one message box and returns when the operator has dismissed it.
// Every box of the window goes through the installed presenter, so tests can
// record what would have been shown instead of blocking on a modal dialog.
using MessagePresenter = std::function<void(QWidget* parent, const QString& title,
                                            const QString& text, MessageKind kind)>;

// Installs a presenter; an empty one restores the real message box.
void SetMessagePresenter(MessagePresenter presenter);

class ScopedMessagePresenter {
  public:
    explicit ScopedMessagePresenter(MessagePresenter presenter);
    ~ScopedMessagePresenter();
    ScopedMessagePresenter(const ScopedMessagePresenter&) = delete;
    ScopedMessagePresenter& operator=(const ScopedMessagePresenter&) = delete;

  private:
    MessagePresenter saved_;
};

// Text of the program (8-bit, the system's code page) to and from Qt.
QString ToQString(const std::string& text);
std::string FromQString(const QString& text);

void ShowMessageBox(QWidget* parent, const std::string& text,
                    MessageKind kind = MessageKind::Information);

// An error message as the operator sees it: a full stop is added when the
// last byte sorts after "." (so "Disk full" gains one, "Done." and "(x)" do
// not).
std::string WithFullStop(const std::string& message);

// Shows an error that escaped a handler.
void ShowHandlerError(QWidget* parent, const std::string& message);

// Runs a handler; whatever escapes it is shown in an error box and the
// program carries on with the window as it was.
template <class Handler>
void RunHandler(QWidget* parent, Handler&& handler) {
    try {
        handler();
    } catch (const tallon::Exception& e) {
        ShowHandlerError(parent, e.Message());
    } catch (const std::exception& e) {
        ShowHandlerError(parent, e.what());
    } catch (...) {
        ShowHandlerError(parent, "Unknown error");
    }
}

}  // namespace tallon::app
