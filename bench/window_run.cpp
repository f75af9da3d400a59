// Times "Recover from RAW" in the real window (Qt's offscreen platform unless
// a display is given), for comparison with tallon-recover on the same file:
//   window_run PROGRAM_DIR RAW_FILE
// prints the seconds the run took and the lines per second.

#include <QApplication>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <string>

#include "app/main_window.h"
#include "base/regional.h"
#include "db/engine.h"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_run PROGRAM_DIR RAW_FILE\n");
        return 2;
    }
    QApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    tallon::LoadRegionalSettingsFromLocale();
    std::string dir = argv[1];
    if (dir.back() != '/') {
        dir += '/';
    }
    tallon::db::Engine engine(dir);
    tallon::app::TForm1 form(engine, dir, {});
    form.show();
    app.processEvents();
    form.SetRawFileName(argv[2]);
    const auto start = std::chrono::steady_clock::now();
    form.Button1Click();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto& totals = form.core().Totals();
    std::printf("window: %lld lines in %.2f s, %.0f lines/s, %lld added%s\n",
                static_cast<long long>(totals.linesRead), seconds,
                static_cast<double>(totals.linesRead) / seconds,
                static_cast<long long>(totals.counts.added),
                totals.completed ? "" : " (not completed)");
    engine.Shutdown();
    return totals.completed ? 0 : 1;
}
