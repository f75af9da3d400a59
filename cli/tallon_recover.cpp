// tallon-recover: the "Recover from RAW" run without the window, for scripted
// and scheduled recovery. It drives the same recovery core as the window.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/file_io.h"
#include "base/file_names.h"
#include "base/regional.h"
#include "base/site_directory.h"
#include "cli/tallon_recover_progress.h"
#include "db/engine.h"
#include "db/paradox/detect.h"
#include "log/activity_log.h"
#include "recovery/host.h"
#include "recovery/recovery_core.h"
#include "recovery/rejects_file.h"
#include "recovery/run_summary.h"

namespace tallon {
namespace {

constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Completed, but some lines failed on an error (not refused by a rule).
constexpr int kExitLinesFailed = 3;
// Stopped by a signal: 128 + its number, as a shell reports a death by it,
// so that 130 is Ctrl-C and 143 the SIGTERM of kill and service managers.
constexpr int kExitBySignal = 128;

// The signal that asked the run to stop, 0 while none has.
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int signal) {
    interrupted = signal;
}

const char* const kUsage =
    "usage: tallon-recover [--mode=local|corvane|velora] [--all] [--no-merge] [--from-tran]\n"
    "                      [--table=NAME] [--program-dir=DIR] [--rejects=FILE]\n"
    "                      [--summary=FILE.json] PATH\n"
    "       tallon-recover --help | --version\n";

const char* const kHelp =
    "Recovers the card events of RAW files into transaction records, as the window's\n"
    "\"Recover from RAW\" button does.\n"
    "\n"
    "  PATH               the RAW file to read; with --all, a directory (or a file in it)\n"
    "                     whose *.raw files (any letter case) are all read\n"
    "  --mode=MODE        local (default): local tables in the program directory;\n"
    "                     corvane: the \"trans\" table of the alias Brindle;\n"
    "                     velora: the \"trans\" table of the alias VeloraDB\n"
    "  --all              read every *.raw file of PATH's directory\n"
    "  --no-merge         write into the named table (reset from the template first)\n"
    "                     instead of one table per day\n"
    "  --from-tran        name devices CTRL plus the unit code and take card holders\n"
    "                     from the sample table TranSamp\n"
    "  --table=NAME       the named table (default TRAN1)\n"
    "  --program-dir=DIR  where the tables, the template tran_tpl and tallon.ini are\n"
    "                     (default: $TALLON_HOME, else this program's directory when\n"
    "                     it holds tran_tpl, else /var/lib/tallon); a directory that\n"
    "                     does not exist is made from the packaged template\n"
    "  --rejects=FILE     append every line not added to FILE (a RAW file to recover\n"
    "                     again once the cause is mended) and its file, line number,\n"
    "                     cause and message to FILE.csv\n"
    "  --summary=FILE     write the run's figures as JSON to FILE when it ends\n"
    "  --help             this text\n"
    "  --version          the program's name and version\n"
    "\n"
    "Status lines go to standard output as they happen; a progress line goes to\n"
    "standard error when it is a terminal; a summary ends the run. The activity log\n"
    "tallon.log is written in the current directory. Ctrl-C, SIGTERM and SIGHUP stop\n"
    "the run before its next line; the summary is printed and every record added is\n"
    "on disk. A database password is asked on the terminal; without a\n"
    "terminal the login is cancelled.\n"
    "\n"
    "Exit status: 0 the run completed and every line was added or refused by rule\n"
    "(duplicate, unknown card, unknown reader); 3 it completed but some lines failed;\n"
    "1 it ended on an error or refused to start; 2 bad usage; 130 stopped by Ctrl-C,\n"
    "143 by SIGTERM, 129 by SIGHUP.\n";

struct Options {
    RunMode mode = RunMode::Local;
    bool all = false;
    bool merge = true;
    bool fromTran = false;
    std::string table = "TRAN1";
    std::string programDir;
    std::string rejects;
    std::string summary;
    std::string path;
};

bool StartsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Returns an empty string on success, else what was wrong.
std::string ParseOptions(int argc, char** argv, Options& opts, bool& help, bool& version) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (StartsWith(arg, "--mode=")) {
            const std::string m = arg.substr(7);
            if (m == "local") {
                opts.mode = RunMode::Local;
            } else if (m == "corvane") {
                opts.mode = RunMode::Corvane;
            } else if (m == "velora") {
                opts.mode = RunMode::Velora;
            } else {
                return "unknown mode '" + m + "'";
            }
        } else if (arg == "--all") {
            opts.all = true;
        } else if (arg == "--no-merge") {
            opts.merge = false;
        } else if (arg == "--from-tran") {
            opts.fromTran = true;
        } else if (StartsWith(arg, "--table=")) {
            opts.table = arg.substr(8);
            if (opts.table.empty()) {
                return "--table needs a name";
            }
        } else if (StartsWith(arg, "--program-dir=")) {
            opts.programDir = arg.substr(14);
            if (opts.programDir.empty()) {
                return "--program-dir needs a directory";
            }
        } else if (StartsWith(arg, "--rejects=")) {
            opts.rejects = arg.substr(10);
            if (opts.rejects.empty()) {
                return "--rejects needs a file";
            }
        } else if (StartsWith(arg, "--summary=")) {
            opts.summary = arg.substr(10);
            if (opts.summary.empty()) {
                return "--summary needs a file";
            }
        } else if (arg == "--") {
            for (++i; i < argc; ++i) {
                positional.push_back(argv[i]);
            }
        } else if (StartsWith(arg, "-") && arg != "-") {
            return "unknown option '" + arg + "'";
        } else {
            positional.push_back(arg);
        }
    }
    if (help || version) {
        return "";
    }
    if (positional.size() != 1) {
        return positional.empty() ? "no PATH given" : "only one PATH may be given";
    }
    opts.path = positional.front();
    return "";
}

// The window's inputs and outputs on a terminal: memo lines on standard
// output, message boxes on standard error, Ctrl-C as STOP.
class ConsoleHost : public MemoryHost {
  public:
    void Attach(RecoveryCore* core) { core_ = core; }

    void AddMemoLine(const std::string& line) override {
        MemoryHost::AddMemoLine(line);
        progress_.Clear();
        std::cout << EchoText(line) << std::endl;
        // A script that reads only standard error still learns why the run
        // ended.
        if (line.rfind("Recovery stopped: ", 0) == 0) {
            std::cerr << EchoText(line) << std::endl;
        }
        ShowProgress(true);
    }
    void ShowMessage(const std::string& message) override {
        MemoryHost::ShowMessage(message);
        progress_.Clear();
        std::cerr << EchoText(message) << std::endl;
    }
    void ProcessPendingEvents() override {
        if (interrupted && core_ != nullptr) {
            core_->Button5Click();
        }
        ShowProgress(false);
    }
    // The last state of the last file stays on the screen.
    void FinishProgress() {
        if (showProgress_ && core_ != nullptr && !core_->Totals().perFile.empty()) {
            const auto& last = core_->Totals().perFile.back();
            progress_.Update(last.name, last.linesRead, last.bytes, lastSize_, true);
        }
        progress_.Finish();
    }

  private:
    void ShowProgress(bool now) {
        if (showProgress_ && core_ != nullptr && !core_->Progress().file.empty()) {
            const RunProgress& p = core_->Progress();
            lastSize_ = p.size;
            progress_.Update(p.file, linesRead, p.position, p.size, now);
        }
    }

    RecoveryCore* core_ = nullptr;
    uint64_t lastSize_ = 0;  // of the file last shown
    bool showProgress_ = ::isatty(STDERR_FILENO) != 0;
    ProgressLine progress_{stderr};
};

std::string Count(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string ReadTerminalLine(bool echo) {
    termios saved{};
    const bool restore = !echo && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (restore) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    return line;
}

// The "Database Login" box on a terminal. Without a terminal the login is
// cancelled, so unattended runs never hang on a prompt.
bool TerminalLogin(const std::string& alias, std::string& user, std::string& password) {
    if (!::isatty(STDIN_FILENO)) {
        return false;
    }
    std::fprintf(stderr, "Database Login (%s)\nUser name [%s]: ", alias.c_str(), user.c_str());
    std::fflush(stderr);
    const std::string typed = ReadTerminalLine(true);
    if (!std::cin) {
        return false;
    }
    if (!typed.empty()) {
        user = typed;
    }
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    password = ReadTerminalLine(false);
    return static_cast<bool>(std::cin);
}

int Run(int argc, char** argv) {
    Options opts;
    bool help = false;
    bool version = false;
    const std::string problem = ParseOptions(argc, argv, opts, help, version);
    if (help) {
        std::cout << kUsage << "\n" << kHelp;
        return kExitCompleted;
    }
    if (version) {
        std::cout << "tallon-recover " << kProgramVersion << "\n";
        return kExitCompleted;
    }
    if (!problem.empty()) {
        std::cerr << "tallon-recover: " << problem << "\n" << kUsage;
        return kExitUsage;
    }

    std::setlocale(LC_TIME, "");
    LoadRegionalSettingsFromLocale();
    const SiteDirectory site = OpenSiteDirectory(opts.programDir);
    if (!site.notice.empty()) {
        std::cerr << "tallon-recover: " << site.notice << std::endl;
    }
    const std::string& programDir = site.path;
    db::Engine engine(programDir);
    engine.SetLoginPrompt(TerminalLogin);

    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &sa, nullptr);
    }

    ConsoleHost host;
    RecoveryCore core(engine, host, programDir);
    host.Attach(&core);
    // The summary file is written however the run ends, a refusal to start
    // included.
    const auto finish = [&](int status, const std::string& error = "") {
        if (!opts.summary.empty()) {
            RunTotals totals = core.Totals();
            if (!error.empty()) {
                totals.error = error;
            }
            try {
                WriteFileAtomically(opts.summary,
                                    RunSummaryJson(totals, opts.mode, ActivityLogPath()));
            } catch (const Exception& e) {
                std::cerr << "tallon-recover: " << opts.summary << ": " << e.Message() << std::endl;
                return status == kExitCompleted ? kExitFailed : status;
            }
        }
        return status;
    };
    try {
        core.FormCreate(opts.mode);
    } catch (const Exception& e) {
        std::cerr << "tallon-recover: " << e.Message() << std::endl;
        return finish(kExitFailed, e.Message());
    }

    // A site's Paradox template or lookup table would refuse every line;
    // the run does not start until they are converted.
    if (opts.mode == RunMode::Local) {
        for (const char* table : {"tran_tpl", "rdrmain", "cards", "TranSamp"}) {
            const std::string file = ResolveFileName(programDir + table + ".DB");
            if (db::paradox::IsParadoxTableFile(file)) {
                const std::string problem =
                    ExtractFileName(file) +
                    " is a Paradox table: convert it with tallon-db import-paradox";
                std::cerr << "tallon-recover: " << problem << std::endl;
                return finish(kExitFailed, problem);
            }
        }
    }

    host.tableName = opts.table;
    host.allRaw = opts.all;
    host.merge = opts.merge;
    host.fromTran = opts.fromTran;
    std::string path = opts.path;
    if (opts.all && DirectoryExists(path) && path.back() != '/') {
        path += '/';
    }
    host.rawFileName = path;

    std::unique_ptr<RejectsFile> rejects;
    if (!opts.rejects.empty()) {
        try {
            rejects = std::make_unique<RejectsFile>(opts.rejects);
        } catch (const Exception& e) {
            std::cerr << "tallon-recover: " << opts.rejects << ": " << e.Message() << std::endl;
            return finish(kExitFailed, e.Message());
        }
        core.SetRejectSink([&rejects](const RejectedLine& line) { rejects->Add(line); });
    }

    const size_t messagesBefore = host.messages.size();
    core.Button1Click();
    host.FinishProgress();
    bool closedCleanly = true;
    try {
        engine.Shutdown();
    } catch (const Exception& e) {
        // The run flushed its records already; a failure here is still news.
        std::cerr << "tallon-recover: " << e.Message() << std::endl;
        closedCleanly = false;
    }

    const auto& totals = core.Totals();
    const LineCounts& counts = totals.counts;
    std::cout << "Summary: " << Count(static_cast<int64_t>(totals.perFile.size()), "file", "files")
              << ", " << Count(totals.linesRead, "line", "lines") << " read, "
              << Count(counts.added, "record", "records") << " added, "
              << Count(counts.Refused(), "line", "lines") << " refused, "
              << Count(counts.Failed(), "line", "lines") << " failed" << std::endl;

    // A signal that comes after the last line has been read stopped nothing.
    if (interrupted && !totals.completed) {
        return finish(kExitBySignal + interrupted);
    }
    if (host.messages.size() > messagesBefore || !totals.completed || !closedCleanly) {
        return finish(kExitFailed, host.messages.size() > messagesBefore && totals.error.empty()
                                       ? host.messages.back()
                                       : "");
    }
    if (counts.Failed() != 0) {
        std::cerr << "tallon-recover: " << Count(counts.Failed(), "line", "lines") << " failed ("
                  << counts.added << " added, " << counts.Refused()
                  << " refused); the first: " << EchoText(totals.firstFailure) << std::endl;
        return finish(kExitLinesFailed);
    }
    return finish(kExitCompleted);
}

}  // namespace
}  // namespace tallon

int main(int argc, char** argv) {
    return tallon::Run(argc, argv);
}
