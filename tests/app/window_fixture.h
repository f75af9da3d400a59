#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QWidget>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/error_box.h"
#include "app/main_window.h"
#include "db/engine.h"
#include "tests/support/temp_dir.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace tallon::app::test {

struct ShownMessage {
    QString title;
    QString text;
    MessageKind kind;
};

// Records the message boxes the window would have shown.
class MessageRecorder {
  public:
    MessageRecorder()
        : scope_([this](QWidget*, const QString& title, const QString& text, MessageKind kind) {
              shown.push_back({title, text, kind});
          }) {}

    std::vector<ShownMessage> shown;

  private:
    ScopedMessagePresenter scope_;
};

// A program directory of its own, which is also the working directory (the
// start-up writes the activity log there).
class WindowTest : public ::testing::Test {
  protected:
    void TearDown() override { engine.Shutdown(); }

    std::unique_ptr<TForm1> MakeForm(const std::vector<std::string>& arguments = {}) {
        return MakeFormIn(dir.path(), arguments);
    }
    std::unique_ptr<TForm1> MakeFormIn(const std::string& programDirectory,
                                       const std::vector<std::string>& arguments) {
        return std::make_unique<TForm1>(engine, programDirectory, arguments);
    }

    template <class W>
    static W* Find(QWidget& form, const char* name) {
        W* widget = form.findChild<W*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    tallon::test::TempDir dir;
    db::Engine engine;
    tallon::test::ScopedWorkingDirectory cwd{dir.path()};
    MessageRecorder messages;
};

}  // namespace tallon::app::test
