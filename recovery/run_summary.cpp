#include "recovery/run_summary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/errors.h"

namespace tallon {
namespace {

std::string Number(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    return buf;
}

std::string Figures(const LineCounts& c, int64_t linesRead, uint64_t bytes, double seconds,
                    const char* outcome) {
    return "\"outcome\": " + JsonString(outcome) + ", " + LineCountsJsonMembers(c, linesRead) +
           ", \"bytes\": " + std::to_string(bytes) + ", \"seconds\": " + Number(seconds) +
           ", \"lines_per_second\": " +
           Number(seconds > 0 ? static_cast<double>(linesRead) / seconds : 0.0);
}

}  // namespace

std::string LineCountsJsonMembers(const LineCounts& c, int64_t linesRead) {
    return "\"lines_read\": " + std::to_string(linesRead) +
           ", \"added\": " + std::to_string(c.added) +
           ", \"refused\": " + std::to_string(c.Refused()) +
           ", \"duplicate\": " + std::to_string(c.duplicate) +
           ", \"unknown_card\": " + std::to_string(c.unknownCard) +
           ", \"unknown_reader\": " + std::to_string(c.unknownReader) +
           ", \"failed\": " + std::to_string(c.Failed()) +
           ", \"undecodable\": " + std::to_string(c.undecodable);
}

// File names and messages are in the site's single-byte code page; each
// byte above ASCII is taken as its Latin-1 character so the JSON stays valid.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + '"';
}

const char* ModeName(RunMode mode) {
    switch (mode) {
        case RunMode::Corvane:
            return "corvane";
        case RunMode::Velora:
            return "velora";
        case RunMode::Local:
            break;
    }
    return "local";
}

std::string RunSummaryJson(const RunTotals& totals, RunMode mode, const std::string& logPath) {
    std::string json = "{\n  \"mode\": " + JsonString(ModeName(mode)) +
                       ",\n  \"log\": " + JsonString(logPath) + ",\n  \"files\": [";
    uint64_t bytes = 0;
    for (size_t i = 0; i < totals.perFile.size(); ++i) {
        const auto& f = totals.perFile[i];
        bytes += f.bytes;
        json += (i ? ",\n" : "\n");
        json += "    {\"file\": " + JsonString(f.name) + ", " +
                Figures(f.counts, f.linesRead, f.bytes, f.seconds, f.outcome) + "}";
    }
    json += totals.perFile.empty() ? "],\n" : "\n  ],\n";
    json += "  \"total\": {" +
            Figures(totals.counts, totals.linesRead, bytes, totals.seconds, totals.Outcome()) +
            ", \"error\": " + JsonString(totals.error) + "}\n}\n";
    return json;
}

}  // namespace tallon
