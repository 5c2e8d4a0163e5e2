// Throughput of status replies through the reply parser, beside a naive
// parser (split into std::string pieces, std::stoi each) measured in the
// same run on the same lines.
//
//   parser_bench [lines-per-round] [rounds]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "state/controller_mirror.h"
#include "state/response_parser.h"

namespace {

using Clock = std::chrono::steady_clock;

// Realistic "100" lines: 12 counts up to +-10^7, state words, type, input
// words, 24 output values; 42 values in all.
std::vector<std::string> make_lines(std::size_t count) {
    std::mt19937 rng(20240601);
    std::uniform_int_distribution<std::int32_t> counts(-10000000, 10000000);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> nibble(0, 15);
    std::uniform_int_distribution<int> onoff(0, 1);
    std::vector<std::string> lines;
    lines.reserve(count);
    for (std::size_t n = 0; n < count; ++n) {
        std::string line = "100:";
        for (int i = 0; i < 12; ++i) line += std::to_string(counts(rng)) + ",";
        line += std::to_string(byte(rng)) + "," + std::to_string(nibble(rng)) + ",2,";
        for (int i = 0; i < 3; ++i) line += std::to_string(byte(rng)) + ",";
        for (int i = 0; i < 24; ++i) line += std::to_string(onoff(rng)) + (i == 23 ? "\n" : ",");
        lines.push_back(std::move(line));
    }
    return lines;
}

// What the naive parser fills: plain fields, no atomics.
struct NaiveState {
    std::array<std::int32_t, 12> raw{};
    std::array<float, 6> pos{};
    std::array<bool, 12> bits{};
    std::array<bool, 24> inputs{};
    std::int32_t type = 0;
};

std::vector<std::string> split(const std::string& text, char delimiter) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        const auto end = text.find(delimiter, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

void naive_apply(NaiveState& s, const std::string& chunk) {
    for (const std::string& line : split(chunk, '\n')) {
        if (line.size() < 3) continue;
        const std::vector<std::string> parts = split(line, ':');
        if (parts.size() != 2 || parts[0] != "100") continue;
        const std::vector<std::string> v = split(parts[1], ',');
        if (v.size() < 18) continue;
        for (std::size_t i = 0; i < 12; ++i) s.raw[i] = std::stoi(v[i]);
        for (std::size_t a = 0; a < 6; ++a) s.pos[a] = static_cast<float>(s.raw[a] * (10.0 / 10000.0));
        const int w1 = std::stoi(v[12]);
        for (int k = 0; k < 8; ++k) s.bits[static_cast<std::size_t>(k)] = ((w1 >> k) & 1) != 0;
        const int w2 = std::stoi(v[13]);
        for (int k = 0; k < 4; ++k) s.bits[static_cast<std::size_t>(8 + k)] = ((w2 >> k) & 1) != 0;
        s.type = std::stoi(v[14]);
        for (std::size_t j = 0; j < 3; ++j) {
            const int w = std::stoi(v[15 + j]);
            for (std::size_t k = 0; k < 8; ++k) s.inputs[8 * j + k] = ((w >> k) & 1) != 0;
        }
    }
}

struct Figure {
    double seconds;
    std::size_t lines;
};

template <class Apply>
Figure measure(const std::vector<std::string>& chunks, std::size_t lines_per_chunk, int rounds, Apply apply) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const auto start = Clock::now();
        for (const std::string& chunk : chunks) apply(chunk);
        const std::chrono::duration<double> took = Clock::now() - start;
        best = std::min(best, took.count());
    }
    return {best, chunks.size() * lines_per_chunk};
}

void report(const char* name, const Figure& f) {
    const double per_second = static_cast<double>(f.lines) / f.seconds;
    std::printf("  %-34s %12.0f lines/s %9.1f ns/line\n", name, per_second, 1e9 / per_second);
}

std::vector<std::string> batch(const std::vector<std::string>& lines, std::size_t per_chunk) {
    std::vector<std::string> chunks;
    for (std::size_t i = 0; i + per_chunk <= lines.size(); i += per_chunk) {
        std::string chunk;
        for (std::size_t k = 0; k < per_chunk; ++k) chunk += lines[i + k];
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t line_count = argc > 1 ? static_cast<std::size_t>(std::atol(argv[1])) : 20000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 30;
    const std::vector<std::string> lines = make_lines(line_count);
    std::size_t bytes = 0;
    for (const std::string& l : lines) bytes += l.size();
    std::printf("status lines: %zu of 42 values, %.0f bytes each on average; best of %d rounds\n", lines.size(),
                static_cast<double>(bytes) / static_cast<double>(lines.size()), rounds);

    orvane::ControllerMirror mirror("127.0.0.254");
    mirror.status_count.set(21);  // past the hold-off: state bits are stored too
    NaiveState naive;
    std::uint64_t failures = 0;

    for (const std::size_t per_chunk : {std::size_t{1}, std::size_t{16}}) {
        const std::vector<std::string> chunks = batch(lines, per_chunk);
        std::printf("%zu line(s) per chunk:\n", per_chunk);
        report("apply_chunk (string_view)", measure(chunks, per_chunk, rounds, [&](const std::string& c) {
                   failures += orvane::apply_chunk(mirror, c) != orvane::Conversion::ok;
               }));
        report("naive (std::string + std::stoi)",
               measure(chunks, per_chunk, rounds, [&](const std::string& c) { naive_apply(naive, c); }));
    }

    // Keep both results observable.
    std::printf("check: %d %d %.3f %.3f failures %llu\n", mirror.status_raw[0].get(), naive.raw[0],
                static_cast<double>(mirror.axis_pos[0].get()), static_cast<double>(naive.pos[0]),
                static_cast<unsigned long long>(failures));
    return failures == 0 ? 0 : 1;
}
