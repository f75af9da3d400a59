// Generates a realistic RAW file and the lookup data that goes with it, for
// the end-to-end recovery benchmark:
//   make_raw LINES OUTDIR [shuffled] [DAYS]
// writes OUTDIR/events.raw (CRLF lines, chronological over the DAYS days,
// 30 unless given, that end today, or with "shuffled" the same lines in a
// fixed random order),
// OUTDIR/rdrmain_local.csv, OUTDIR/rdrmain_external.csv and OUTDIR/cards.csv.
// 100 readers, 5,000 cards, about 2% unknown cards, 1% repeated lines and a
// few malformed lines. Fixed seed: the same inputs every time for the same day.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kReaders = 100;
constexpr int kCards = 5000;
constexpr int kDefaultDays = 30;

struct Day {
    int day, month;
};

std::vector<Day> LastDays(int count) {
    std::vector<Day> days;
    const std::time_t now = std::time(nullptr);
    for (int back = count - 1; back >= 0; --back) {
        std::time_t t = now - static_cast<std::time_t>(back) * 86400;
        std::tm tm{};
        localtime_r(&t, &tm);
        days.push_back({tm.tm_mday, tm.tm_mon + 1});
    }
    return days;
}

std::string ReaderId(int reader) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "RDR-%04d    ", reader);
    return buf;
}

std::string Card(int card) {
    return std::to_string(100000 + card);
}

bool WriteCsvs(const std::string& dir) {
    FILE* local = std::fopen((dir + "/rdrmain_local.csv").c_str(), "w");
    FILE* external = std::fopen((dir + "/rdrmain_external.csv").c_str(), "w");
    FILE* cards = std::fopen((dir + "/cards.csv").c_str(), "w");
    if (!local || !external || !cards) {
        return false;
    }
    std::fprintf(local, "tag_name,logical_point,spare3\n");
    std::fprintf(external, "tag_name,logical_point,spare3\n");
    for (int r = 1; r <= kReaders; ++r) {
        std::fprintf(local, "Door %03d,%03d,%s\n", r, r, ReaderId(r).c_str());
        std::fprintf(external, "Door %03d,%d,%s\n", r, r, ReaderId(r).c_str());
    }
    std::fprintf(cards, "Card_Number,Name,Staff_number,User1,User2,User3\n");
    for (int c = 0; c < kCards; ++c) {
        const std::string card = Card(c);
        std::fprintf(cards, "%s,Holder %d,S%05d,Dept%d,Post%d,\n", card.c_str(), c, c, c % 7,
                     c % 11);
    }
    std::fclose(local);
    std::fclose(external);
    std::fclose(cards);
    return true;
}

// The lines in time order: the day runs with the line's position in the
// file, and the time through the day.
std::vector<std::string> Lines(long lines, int dayCount) {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> reader(1, kReaders), card(0, kCards - 1), code(0, 3),
        percent(0, 9999);
    const std::vector<Day> days = LastDays(dayCount);
    const long perDay = (lines + dayCount - 1) / dayCount;
    std::vector<std::string> recent, all;
    for (long i = 0; i < lines; ++i) {
        const Day d = days[std::min<long>(i / perDay, dayCount - 1)];
        const long minuteOfDay = (i % perDay) * 1440 / perDay;
        const int roll = percent(rng);
        if (roll < 100 && !recent.empty()) {
            all.push_back(recent[static_cast<size_t>(roll) % recent.size()]);  // repeated
            continue;
        }
        if (roll < 103) {
            all.emplace_back(roll == 100 ? "0" : roll == 101 ? "00731XX" : "\x01\x02garbage line");
            continue;
        }
        const int r = reader(rng);
        char buf[64];
        const std::string c = roll < 303 ? std::to_string(900000 + card(rng)) : Card(card(rng));
        std::snprintf(buf, sizeof buf, "%03d%02d%02d%02ld%02ld%s%d %s", r, d.day, d.month,
                      minuteOfDay / 60, minuteOfDay % 60, c.c_str(), code(rng),
                      ReaderId(r).c_str());
        all.emplace_back(buf);
        if (recent.size() < 64) {
            recent.push_back(all.back());
        } else {
            recent[static_cast<size_t>(i) % recent.size()] = all.back();
        }
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 3;
    const bool shuffled = argc > arg && std::string(argv[arg]) == "shuffled";
    arg += shuffled ? 1 : 0;
    const int dayCount = argc > arg ? std::atoi(argv[arg++]) : kDefaultDays;
    if (argc < 3 || argc != arg || dayCount < 1 || dayCount > 366) {
        std::fprintf(stderr, "usage: make_raw LINES OUTDIR [shuffled] [DAYS]\n");
        return 2;
    }
    const long lines = std::strtol(argv[1], nullptr, 10);
    const std::string dir = argv[2];
    if (lines <= 0 || !WriteCsvs(dir)) {
        std::fprintf(stderr, "make_raw: bad line count or cannot write into %s\n", dir.c_str());
        return 1;
    }
    FILE* raw = std::fopen((dir + "/events.raw").c_str(), "wb");
    if (!raw) {
        std::fprintf(stderr, "make_raw: cannot write %s/events.raw\n", dir.c_str());
        return 1;
    }
    std::vector<std::string> all = Lines(lines, dayCount);
    if (shuffled) {
        // A generator of its own, so the lines are exactly those of time order.
        std::shuffle(all.begin(), all.end(), std::mt19937(20261208));
    }
    for (const std::string& line : all) {
        std::fputs(line.c_str(), raw);
        std::fputs("\r\n", raw);
    }
    return std::fclose(raw) == 0 ? 0 : 1;
}
