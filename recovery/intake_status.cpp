#include "recovery/intake_status.h"

#include <cstdio>

#include "recovery/run_summary.h"

namespace tallon {
namespace {

std::string Seconds(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", value);
    return buf;
}

// 1204311 as "1,204,311".
std::string Grouped(int64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') {
            out += ',';
        }
        out += digits[i];
    }
    return out;
}

std::string CountsJson(const IntakeStatus& s) {
    // Appended, not "{" + members: GCC 12 at -O3 warns (-Wrestrict) on the
    // operator+ that prepends to a temporary.
    std::string json = "{";
    json += LineCountsJsonMembers(s.counts, s.linesRead);
    json += "}";
    return json;
}

std::string FileJson(const IntakeStatus::File& f) {
    return "{\"file\": " + JsonString(f.name) + ", \"position\": " + std::to_string(f.position) +
           ", \"size\": " + std::to_string(f.size) +
           ", \"lag\": " + std::to_string(f.size > f.position ? f.size - f.position : 0) +
           ", \"gone\": " + (f.gone ? "true" : "false") + "}";
}

void Metric(std::string& out, const char* name, const char* type, const char* help,
            const std::string& samples) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           samples;
}

}  // namespace

std::string IntakeStatusJson(const IntakeStatus& s) {
    std::string json = "{\n  \"directory\": " + JsonString(s.directory) +
                       ",\n  \"mode\": " + JsonString(ModeName(s.mode)) +
                       ",\n  \"files_watched\": " + std::to_string(s.files.size()) +
                       ",\n  \"total\": " + CountsJson(s) +
                       ",\n  \"unread_bytes\": " + std::to_string(s.unreadBytes) +
                       ",\n  \"oldest_unread_seconds\": " + Seconds(s.oldestUnreadSeconds) +
                       ",\n  \"last_commit\": " + std::to_string(s.lastCommitUnix) +
                       ",\n  \"last_error\": " + JsonString(s.lastError) +
                       ",\n  \"last_error_time\": " + std::to_string(s.lastErrorUnix) +
                       ",\n  \"waiting_for_database\": " + JsonString(s.waitingFor) +
                       ",\n  \"retry_in_seconds\": " + Seconds(s.retryInSeconds) +
                       ",\n  \"files\": [";
    for (size_t i = 0; i < s.files.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + FileJson(s.files[i]);
    }
    return json + (s.files.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

std::string IntakeMetrics(const IntakeStatus& s) {
    const LineCounts& c = s.counts;
    std::string lines;
    for (const auto& [outcome, n] : {std::pair<const char*, int64_t>{"added", c.added},
                                     {"duplicate", c.duplicate},
                                     {"unknown_card", c.unknownCard},
                                     {"unknown_reader", c.unknownReader},
                                     {"undecodable", c.undecodable},
                                     {"failed", c.failed}}) {
        lines += std::string("tallon_watch_lines_total{outcome=\"") + outcome + "\"} " +
                 std::to_string(n) + "\n";
    }
    std::string out;
    Metric(out, "tallon_watch_lines_total", "counter", "RAW lines accounted, by outcome.", lines);
    Metric(out, "tallon_watch_files", "gauge", "RAW files watched.",
           "tallon_watch_files " + std::to_string(s.files.size()) + "\n");
    Metric(out, "tallon_watch_unread_bytes", "gauge", "Bytes of the watched files not yet read.",
           "tallon_watch_unread_bytes " + std::to_string(s.unreadBytes) + "\n");
    Metric(out, "tallon_watch_oldest_unread_seconds", "gauge",
           "Seconds since the oldest bytes not yet read arrived.",
           "tallon_watch_oldest_unread_seconds " + Seconds(s.oldestUnreadSeconds) + "\n");
    Metric(out, "tallon_watch_last_commit_timestamp_seconds", "gauge",
           "The last successful commit, as a Unix time (0: none yet).",
           "tallon_watch_last_commit_timestamp_seconds " + std::to_string(s.lastCommitUnix) + "\n");
    Metric(out, "tallon_watch_waiting_for_database", "gauge",
           "1 while writing waits for the database to answer again.",
           std::string("tallon_watch_waiting_for_database ") + (s.waitingFor.empty() ? "0" : "1") +
               "\n");
    return out;
}

std::string IntakeStatusLine(const IntakeStatus& s, int64_t nowUnix) {
    if (!s.waitingFor.empty()) {
        return "Waiting for the database (next try in " + Seconds(s.retryInSeconds) +
               " s): " + s.waitingFor;
    }
    std::string line =
        "Watching " + s.directory + ": " + Grouped(static_cast<int64_t>(s.files.size())) +
        (s.files.size() == 1 ? " file, " : " files, ") + Grouped(s.counts.added) + " lines added";
    if (s.lastCommitUnix > 0) {
        line += ", last " + Grouped(std::max<int64_t>(0, nowUnix - s.lastCommitUnix)) + " s ago";
    }
    return line;
}

}  // namespace tallon
