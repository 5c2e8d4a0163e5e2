// The files of a fuzzer's stored corpus, for tests that replay them.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace orvane::test {

struct CorpusFile {
    std::filesystem::path path;
    std::vector<char> bytes;
};

// Every regular file of dir with its bytes; empty when dir is missing.
inline std::vector<CorpusFile> read_corpus(const std::filesystem::path& dir) {
    std::vector<CorpusFile> files;
    if (!std::filesystem::is_directory(dir)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files.push_back({entry.path(), std::vector<char>(std::istreambuf_iterator<char>(in), {})});
    }
    return files;
}

}  // namespace orvane::test
