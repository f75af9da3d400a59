#include "app/error_box.h"

#include <QMessageBox>
#include <utility>

namespace tallon::app {

namespace {

void ShowRealMessageBox(QWidget* parent, const QString& title, const QString& text,
                        MessageKind kind) {
    QMessageBox box(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::NoIcon, title,
                    text, QMessageBox::Ok, parent);
    box.exec();
}

MessagePresenter& Presenter() {
    static MessagePresenter presenter;
    return presenter;
}

}  // namespace

void SetMessagePresenter(MessagePresenter presenter) {
    Presenter() = std::move(presenter);
}

ScopedMessagePresenter::ScopedMessagePresenter(MessagePresenter presenter)
    : saved_(std::exchange(Presenter(), std::move(presenter))) {}

ScopedMessagePresenter::~ScopedMessagePresenter() {
    Presenter() = std::move(saved_);
}

QString ToQString(const std::string& text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQString(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

void ShowMessageBox(QWidget* parent, const std::string& text, MessageKind kind) {
    const QString title = QString::fromLatin1(kApplicationTitle);
    // A copy, so a presenter may replace itself while its box is up.
    const MessagePresenter presenter = Presenter();
    if (presenter) {
        presenter(parent, title, ToQString(text), kind);
    } else {
        ShowRealMessageBox(parent, title, ToQString(text), kind);
    }
}

std::string WithFullStop(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') {
        return message + ".";
    }
    return message;
}

void ShowHandlerError(QWidget* parent, const std::string& message) {
    ShowMessageBox(parent, WithFullStop(message), MessageKind::Error);
}

}  // namespace tallon::app
