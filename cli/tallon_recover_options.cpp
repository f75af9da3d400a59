#include "cli/tallon_recover_options.h"

#include <functional>
#include <map>
#include <vector>

namespace tallon {
namespace {

// An option with a value: what to do with the text after '='; returns ""
// or what was wrong.
using ValueOption = std::function<std::string(RecoverOptions&, const std::string&)>;

ValueOption Into(std::string RecoverOptions::*field, const char* emptyMessage) {
    return [field, emptyMessage](RecoverOptions& o, const std::string& value) {
        o.*field = value;
        return value.empty() ? std::string(emptyMessage) : std::string();
    };
}

ValueOption Seconds(int RecoverOptions::*field, const char* name) {
    return [field, name](RecoverOptions& o, const std::string& value) -> std::string {
        size_t used = 0;
        int n = 0;
        try {
            n = std::stoi(value, &used);
        } catch (...) {
            used = 0;
        }
        if (used != value.size() || value.empty() || n < 1 || n > 86400) {
            return std::string(name) + " needs a number of seconds from 1 to 86400";
        }
        o.*field = n;
        return "";
    };
}

std::string Mode(RecoverOptions& o, const std::string& m) {
    static const std::map<std::string, RunMode> modes{
        {"local", RunMode::Local}, {"corvane", RunMode::Corvane}, {"velora", RunMode::Velora}};
    const auto it = modes.find(m);
    if (it == modes.end()) {
        return "unknown mode '" + m + "'";
    }
    o.mode = it->second;
    return "";
}

const std::map<std::string, ValueOption>& ValueOptions() {
    static const std::map<std::string, ValueOption> options{
        {"--mode", Mode},
        {"--table", Into(&RecoverOptions::table, "--table needs a name")},
        {"--program-dir", Into(&RecoverOptions::programDir, "--program-dir needs a directory")},
        {"--rejects", Into(&RecoverOptions::rejects, "--rejects needs a file")},
        {"--summary", Into(&RecoverOptions::summary, "--summary needs a file")},
        {"--status", Into(&RecoverOptions::status, "--status needs a file")},
        {"--metrics", Into(&RecoverOptions::metrics, "--metrics needs a file")},
        {"--settle", Seconds(&RecoverOptions::settleSeconds, "--settle")},
        {"--rescan", Seconds(&RecoverOptions::rescanSeconds, "--rescan")},
    };
    return options;
}

const std::map<std::string, bool RecoverOptions::*>& Flags() {
    static const std::map<std::string, bool RecoverOptions::*> flags{
        {"--help", &RecoverOptions::help},
        {"-h", &RecoverOptions::help},
        {"--version", &RecoverOptions::version},
        {"--all", &RecoverOptions::all},
        {"--from-tran", &RecoverOptions::fromTran},
        {"--watch", &RecoverOptions::watch},
        {"--start-at-end", &RecoverOptions::startAtEnd},
    };
    return flags;
}

std::string Option(RecoverOptions& o, const std::string& arg) {
    if (const auto flag = Flags().find(arg); flag != Flags().end()) {
        o.*(flag->second) = true;
        return "";
    }
    if (arg == "--no-merge" || arg == "--no-inotify") {
        (arg == "--no-merge" ? o.merge : o.inotify) = false;
        return "";
    }
    const size_t eq = arg.find('=');
    const auto value = ValueOptions().find(arg.substr(0, eq));
    if (eq == std::string::npos || value == ValueOptions().end()) {
        return "unknown option '" + arg + "'";
    }
    return value->second(o, arg.substr(eq + 1));
}

// Options of a batch run that mean nothing, or harm, in continuous intake.
std::string WatchConflicts(const RecoverOptions& o) {
    if (!o.merge) {
        return "--no-merge cannot be used with --watch: it would reset the named table";
    }
    if (o.all || !o.summary.empty() || o.table != "TRAN1") {
        return "--all, --table and --summary cannot be used with --watch";
    }
    return "";
}

}  // namespace

const char* const kRecoverUsage =
    "usage: tallon-recover [--mode=local|corvane|velora] [--all] [--no-merge] [--from-tran]\n"
    "                      [--table=NAME] [--program-dir=DIR] [--rejects=FILE]\n"
    "                      [--summary=FILE.json] PATH\n"
    "       tallon-recover --watch [--mode=local|corvane|velora] [--from-tran]\n"
    "                      [--program-dir=DIR] [--rejects=FILE] [--status=FILE.json]\n"
    "                      [--metrics=FILE.prom] [--settle=SECONDS] [--rescan=SECONDS]\n"
    "                      [--start-at-end] [--no-inotify] DIR\n"
    "       tallon-recover --help | --version\n";

const char* const kRecoverHelp =
    "Recovers the card events of RAW files into transaction records, as the window's\n"
    "\"Recover from RAW\" button does; with --watch, continuously, as they arrive.\n"
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
    "143 by SIGTERM, 129 by SIGHUP.\n"
    "\n"
    "Continuous intake: tallon-recover --watch DIR reads every line that arrives in\n"
    "the *.raw files of DIR (any letter case) once its line end has arrived, and\n"
    "keeps running. Each file's read position is kept in the program directory\n"
    "(watch-*.positions), saved after every committed batch; after a stop, a crash\n"
    "or a reboot it resumes there, and the duplicate check refuses what a batch that\n"
    "was not committed had stored. A file renamed within DIR keeps its place; one\n"
    "renamed out of DIR or deleted is read to its end; one truncated or replaced is\n"
    "read again from its start. A failed commit is tried again, after 1 s, then\n"
    "twice as long each time up to a minute, without losing a line.\n"
    "  --status=FILE      rewrite FILE (JSON: files, positions, counts, last commit,\n"
    "                     last error) every few seconds (keep it on tmpfs)\n"
    "  --metrics=FILE     the same figures in Prometheus' textfile format\n"
    "  --settle=SECONDS   a last line without line end is read once its file has not\n"
    "                     changed for this long; a file idle this long is \"Completed\"\n"
    "                     (default 60)\n"
    "  --rescan=SECONDS   list DIR this often, for writes inotify does not hear of\n"
    "                     (network filesystems; default 5)\n"
    "  --start-at-end     on the very first start on DIR, begin at the end of what\n"
    "                     every file already holds (a site whose history is recovered)\n"
    "  --no-inotify       find changes by listing DIR only\n"
    "SIGTERM and Ctrl-C finish the line in hand, commit, save the positions and exit\n"
    "0; SIGHUP forgets cached lookups and reads tallon.ini and the aliases again.\n"
    "Under systemd (NOTIFY_SOCKET) it reports readiness after its first scan, a\n"
    "one-line status, and answers the watchdog. Exit status: 0 stopped by a signal,\n"
    "1 refused to start or ended on an error (the log cannot be written), 2 bad usage.\n";

std::string ParseRecoverOptions(int argc, char** argv, RecoverOptions& opts) {
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            positional.insert(positional.end(), argv + i + 1, argv + argc);
            break;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            if (std::string problem = Option(opts, arg); !problem.empty()) {
                return problem;
            }
        } else {
            positional.push_back(arg);
        }
    }
    if (opts.help || opts.version) {
        return "";
    }
    if (positional.size() != 1) {
        return positional.empty() ? (opts.watch ? "no DIR given" : "no PATH given")
                                  : "only one PATH may be given";
    }
    opts.path = positional.front();
    if (opts.watch) {
        return WatchConflicts(opts);
    }
    if (!opts.status.empty() || !opts.metrics.empty() || opts.startAtEnd || !opts.inotify ||
        opts.settleSeconds != 60 || opts.rescanSeconds != 5) {
        return "--status, --metrics, --settle, --rescan, --start-at-end and --no-inotify need "
               "--watch";
    }
    return "";
}

}  // namespace tallon
