#include <QApplication>
#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/login_dialog.h"
#include "app/main_window.h"
#include "base/errors.h"
#include "base/regional.h"
#include "base/site_directory.h"
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

    // Qt has taken its own options out of argv by now. --program-dir may
    // stand anywhere, so that the first of the others keeps choosing the mode.
    const std::string kProgramDirOption = "--program-dir=";
    std::string programDirOption;
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind(kProgramDirOption, 0) == 0) {
            programDirOption = arg.substr(kProgramDirOption.size());
        } else {
            arguments.push_back(arg);
        }
    }

    const tallon::SiteDirectory site = tallon::OpenSiteDirectory(programDirOption);
    const std::string& programDirectory = site.path;
    tallon::db::Engine engine(programDirectory);
    tallon::app::InstallLoginPrompt(engine);

    int result = 0;
    {
        tallon::app::TForm1 Form1(engine, programDirectory, arguments);
        if (!site.notice.empty()) {
            Form1.AddMemoLine(site.notice);
        }
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
