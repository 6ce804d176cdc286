#include "sim/convert/lut_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

namespace qorsim::conv {
namespace {

constexpr size_t kBinarySize = 768;
constexpr size_t kMaxFileSize = 1 << 20;  // far beyond any valid table; guards against huge files
constexpr int kMaxEntries = 4096;

// The non-empty, non-comment lines, each split into its unsigned numbers; nullopt when a line
// holds anything else.
std::optional<std::vector<std::vector<uint32_t>>> numberLines(std::string_view text) {
    std::vector<std::vector<uint32_t>> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string_view::npos || line[first] == '#') continue;
        std::vector<uint32_t> numbers;
        size_t pos = first;
        while (pos < line.size()) {
            if (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r') {
                ++pos;
                continue;
            }
            uint32_t value = 0;
            const auto [next, ec] = std::from_chars(line.data() + pos, line.data() + line.size(), value);
            if (ec != std::errc() ||
                (next < line.data() + line.size() && *next != ' ' && *next != '\t' && *next != '\r'))
                return std::nullopt;
            numbers.push_back(value);
            pos = static_cast<size_t>(next - line.data());
        }
        lines.push_back(std::move(numbers));
    }
    return lines;
}

bool isTriple(const std::vector<uint32_t>& line, uint32_t maxval) {
    return line.size() == 3 && line[0] <= maxval && line[1] <= maxval && line[2] <= maxval;
}

LutResult parseText(std::string_view text, PseudoLut& lut) {
    const auto lines = numberLines(text);
    if (!lines || lines->size() != 256) return LutResult::Malformed;
    PseudoLut parsed;
    for (size_t i = 0; i < 256; ++i) {
        const auto& line = (*lines)[i];
        if (!isTriple(line, 255)) return LutResult::Malformed;
        for (size_t c = 0; c < 3; ++c) parsed.rgb[i][c] = static_cast<uint8_t>(line[c]);
    }
    lut = parsed;
    return LutResult::Ok;
}

LutResult parseHeaderText(std::string_view text, PseudoLut& lut) {
    // The header's keyword is not a number: split it off (after any comments) before parsing.
    constexpr std::string_view kKeyword = "QORLUT";
    size_t start = text.find_first_not_of(" \t\r\n");
    while (start != std::string_view::npos && text[start] == '#') {
        const size_t end = text.find('\n', start);
        start = end == std::string_view::npos ? end : text.find_first_not_of(" \t\r\n", end);
    }
    if (start == std::string_view::npos || text.substr(start, kKeyword.size()) != kKeyword) return LutResult::Malformed;
    const auto lines = numberLines(text.substr(start + kKeyword.size()));
    if (!lines || lines->empty() || (*lines)[0].size() != 2) return LutResult::Malformed;
    const uint32_t entries = (*lines)[0][0];
    const uint32_t maxval = (*lines)[0][1];
    if (entries < 2 || entries > kMaxEntries || maxval < 1 || maxval > 65535 || lines->size() != entries + 1)
        return LutResult::Malformed;
    for (uint32_t i = 1; i <= entries; ++i)
        if (!isTriple((*lines)[i], maxval)) return LutResult::Malformed;
    // Entry i of the file sits at position i / (entries - 1) of the index range.
    PseudoLut parsed;
    for (int k = 0; k < 256; ++k) {
        const double pos = k / 255.0 * (entries - 1);
        const uint32_t i = std::min<uint32_t>(static_cast<uint32_t>(pos), entries - 2);
        const double frac = pos - i;
        for (size_t c = 0; c < 3; ++c) {
            const double v = (*lines)[i + 1][c] * (1.0 - frac) + (*lines)[i + 2][c] * frac;
            parsed.rgb[static_cast<size_t>(k)][c] = static_cast<uint8_t>(std::lround(v * 255.0 / maxval));
        }
    }
    lut = parsed;
    return LutResult::Ok;
}

}  // namespace

LutResult parseLut(const std::string& contents, int kind, PseudoLut& lut) {
    switch (kind) {
        case 3:
        case 2: {
            if (contents.size() != kBinarySize) return LutResult::Malformed;
            const auto* bytes = reinterpret_cast<const uint8_t*>(contents.data());
            for (size_t i = 0; i < 256; ++i)
                for (size_t c = 0; c < 3; ++c) lut.rgb[i][c] = kind == 3 ? bytes[3 * i + c] : bytes[256 * c + i];
            return LutResult::Ok;
        }
        case 1: return parseText(contents, lut);
        case 0: return parseHeaderText(contents, lut);
        default: return LutResult::Malformed;
    }
}

LutResult readLutFile(const std::string& path, int kind, PseudoLut& lut) {
    // Opened without waiting (a FIFO without a writer would block a plain open), then only a
    // regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return LutResult::Unreadable;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return LutResult::Unreadable;
    }
    std::string contents;
    char buffer[4096];
    LutResult result = LutResult::Ok;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = LutResult::Unreadable;
            break;
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<size_t>(n));
        if (contents.size() > kMaxFileSize) {
            result = LutResult::Malformed;
            break;
        }
    }
    ::close(fd);
    return result == LutResult::Ok ? parseLut(contents, kind, lut) : result;
}

}  // namespace qorsim::conv
