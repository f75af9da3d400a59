#include <QApplication>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/login_dialog.h"
#include "app/main_window.h"
#include "base/errors.h"
#include "base/file_names.h"
#include "base/regional.h"
#include "db/engine.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Only the name: a display name would be appended to every window title.
    QApplication::setApplicationName("Tallon");

    // Qt adopts the environment's whole locale. Numbers the program writes
    // and reads must not turn into decimal commas; the time settings are the
    // operator's.
    std::setlocale(LC_NUMERIC, "C");
    std::setlocale(LC_TIME, "");
    tallon::LoadRegionalSettingsFromLocale();

    const std::string programDirectory = tallon::ExecutableDirectory();
    tallon::db::Engine engine(programDirectory);
    tallon::app::InstallLoginPrompt(engine);

    // Qt has taken its own options out of argv by now.
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }

    int result = 0;
    {
        tallon::app::TForm1 Form1(engine, programDirectory, arguments);
        Form1.show();
        result = app.exec();
    }
    try {
        engine.Shutdown();
    } catch (const tallon::Exception& e) {
        // Every run flushed its records when it returned; say what failed.
        std::fprintf(stderr, "tallon: %s\n", e.Message().c_str());
        return result == 0 ? 1 : result;
    }
    return result;
}
