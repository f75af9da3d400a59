#include "recovery/intake_positions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "base/file_io.h"
#include "recovery/run_summary.h"

namespace tallon {
namespace {

constexpr const char* kHeader = "tallon-watch positions 1";

uint64_t Fnv1a(const char* data, size_t size, uint64_t hash = 1469598103934665603ULL) {
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
}

// File names may hold anything but '/' and NUL: the few bytes that would
// break the line are written as %XX.
std::string Escaped(const std::string& name) {
    std::string out;
    for (const char c : name) {
        if (c == '%' || c == '\n' || c == '\r') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void ReadCounts(std::istringstream& in, SavedIntake& saved) {
    LineCounts& c = saved.counts;
    in >> saved.linesRead >> c.added >> c.duplicate >> c.unknownCard >> c.unknownReader >>
        c.undecodable >> c.failed;
}

bool ReadFileLine(std::istringstream& in, SavedFile& f) {
    int pendingCr = 0, ended = 0;
    in >> f.id.device >> f.id.inode >> f.position.offset >> pendingCr >> ended >>
        f.position.lines >> f.head.length >> f.head.hash >> f.tail.length >> f.tail.hash;
    f.position.pendingCr = pendingCr != 0;
    f.position.ended = ended != 0;
    std::string rest;
    if (!in || in.get() != ' ' || !std::getline(in, rest)) {
        return false;
    }
    f.name = Unescaped(rest);
    return true;
}

}  // namespace

Fingerprint FingerprintAt(int fd, uint64_t offset, uint32_t length) {
    std::string bytes(length, '\0');
    ssize_t n;
    do {
        n = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        throw EInOutError::FromErrno(errno);
    }
    return {static_cast<uint32_t>(n), Fnv1a(bytes.data(), static_cast<size_t>(n))};
}

Fingerprint HeadFingerprint(int fd, uint64_t size) {
    return FingerprintAt(fd, 0, static_cast<uint32_t>(std::min<uint64_t>(size, kFingerprintBytes)));
}

Fingerprint TailFingerprint(int fd, uint64_t offset) {
    const uint64_t length = std::min<uint64_t>(offset, kTailBytes);
    return FingerprintAt(fd, offset - length, static_cast<uint32_t>(length));
}

std::string PositionsFilePath(const std::string& siteDirectory, const std::string& directory) {
    char hex[20];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(Fnv1a(directory.data(), directory.size())));
    std::string path = siteDirectory;
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    return path + "watch-" + hex + ".positions";
}

bool LoadPositions(const std::string& path, SavedIntake& saved) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT) {
            return false;
        }
        throw Exception(path + ": " + EInOutError::FromErrno(errno).Message());
    }
    std::string line;
    if (!std::getline(file, line) || line != kHeader) {
        throw Exception(path + ": not a positions file of this version");
    }
    saved = SavedIntake{};
    while (std::getline(file, line)) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "directory" && in.get() == ' ') {
            std::getline(in, saved.directory);
            saved.directory = Unescaped(saved.directory);
        } else if (kind == "counts") {
            ReadCounts(in, saved);
        } else if (SavedFile f; kind == "file" && ReadFileLine(in, f)) {
            saved.files.push_back(std::move(f));
        } else {
            throw Exception(path + ": cannot read the line \"" + line + "\"");
        }
    }
    return true;
}

void SavePositions(const std::string& path, const SavedIntake& saved) {
    std::ostringstream out;
    const LineCounts& c = saved.counts;
    out << kHeader << "\ndirectory " << Escaped(saved.directory) << "\ncounts " << saved.linesRead
        << ' ' << c.added << ' ' << c.duplicate << ' ' << c.unknownCard << ' ' << c.unknownReader
        << ' ' << c.undecodable << ' ' << c.failed << '\n';
    for (const SavedFile& f : saved.files) {
        out << "file " << f.id.device << ' ' << f.id.inode << ' ' << f.position.offset << ' '
            << (f.position.pendingCr ? 1 : 0) << ' ' << (f.position.ended ? 1 : 0) << ' '
            << f.position.lines << ' ' << f.head.length << ' ' << f.head.hash << ' '
            << f.tail.length << ' ' << f.tail.hash << ' ' << Escaped(f.name) << '\n';
    }
    WriteFileAtomically(path, out.str());
}

}  // namespace tallon
