// Replays files through the reading core and prints one outcome for each: the error, or a
// digest of the decoded buffer and of the layout. A 32-bit build checks its outcomes against
// those a 64-bit build wrote, so that no size is cut on the way.
//
//   replay [--expect OUTCOMES] [--data-section] PATH...
//
// Each PATH is a file or a folder of files. After --data-section, inputs are taken the way
// the data_section fuzz target takes them. Without --expect, prints `path<TAB>outcome` lines.
// With it, compares each outcome with the expected one for the same path, prints each
// disagreement, and closes with `N passed, M failed`.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "copied_source.hpp"
#include "data_section_file.hpp"
#include "pcd/io/file_source.hpp"
#include "pcd/read/pcd_loader.hpp"

namespace {

using namespace tessarel;

// FNV-1a over 64-bit words: fast enough for clouds of gigabytes, and any changed byte shows.
class Digest {
public:
    void add(const void* data, std::size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        std::size_t at = 0;
        for (; at + 8 <= size; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + at, 8);
            mix(word);
        }
        for (; at < size; ++at) mix(bytes[at]);
        mix(size);
    }
    void add(std::uint64_t value) { add(&value, sizeof value); }
    void add(std::string_view text) { add(text.data(), text.size()); }

    std::string hex() const {
        char text[17];
        std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(state_));
        return text;
    }

private:
    void mix(std::uint64_t word) {
        state_ ^= word;
        state_ *= 0x100000001b3u;
    }
    std::uint64_t state_ = 0xcbf29ce484222325u;
};

std::string describe(const PcdCloud& cloud) {
    const PcdLayout& layout = cloud.layout;
    Digest digest;
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        const FieldLayout& field = layout.fields[i];
        const FieldPlacement& place = cloud.placements.at(i);
        digest.add(field.name);
        for (const std::uint64_t value :
             {std::uint64_t(field.type), std::uint64_t(field.count), std::uint64_t(field.offset),
              std::uint64_t(place.base), std::uint64_t(place.stride), std::uint64_t(place.present)}) {
            digest.add(value);
        }
    }
    for (const std::size_t index : layout.xyz) digest.add(index);
    digest.add(cloud.buffer.data(), cloud.buffer.size());
    return "ok: " + std::to_string(layout.points) + " points of " + std::to_string(layout.point_step) + " bytes, " +
           (layout.encoding == Encoding::binary_compressed ? "columns" : "records") + ", digest " + digest.hex();
}

template <class Read>
std::string outcome(Read read) {
    try {
        return describe(read());
    } catch (const std::length_error& error) {
        return std::string("length_error: ") + error.what();
    } catch (const std::invalid_argument& error) {
        return std::string("invalid_argument: ") + error.what();
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    } catch (const std::exception& error) {
        return std::string("runtime_error: ") + error.what();
    }
}

std::string replay_file(const std::string& path, bool data_section) {
    if (!data_section) return outcome([&] { return read_pcd_file(path); });
    std::ifstream in(path, std::ios::binary);
    const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (input.size() < 2) return "skipped: shorter than the two bytes that pick the header";
    const std::string file = fuzz::data_section_file(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    return outcome([&] {
        fuzz::CopiedSource in(std::as_bytes(std::span(file)));
        return read_pcd(in);
    });
}

// Cases a 32-bit build refuses by design, where a 64-bit build goes on: the address space
// holds no more than 2^31 - 1 bytes of one cloud, nor of one compressed block. Each applies
// only when the file's own header shows the size, so a real defect cannot pass for one.
struct ByDesign {
    std::string_view reason;
    std::string_view refusal;  // how the 32-bit outcome starts
    bool (*applies)(const PcdHeader& header, std::uint64_t block_bytes);
};

constexpr std::uint64_t limit_32 = 0x7fffffff;

constexpr ByDesign by_design[] = {
    {"a cloud of more than 2^31 - 1 bytes", "runtime_error: PCD data too large",
     [](const PcdHeader& h, std::uint64_t) {
         std::int64_t bytes = 0;
         const bool beyond = __builtin_mul_overflow(h.points, declared_record_bytes(h), &bytes);
         return h.points > 0 && (beyond || bytes > std::int64_t(limit_32));
     }},
    {"a point record of more than 2^31 - 1 bytes", "runtime_error: PCD point record of",
     [](const PcdHeader& h, std::uint64_t) { return declared_record_bytes(h) > std::int64_t(limit_32); }},
    {"a compressed block of 2^31 bytes or more", "runtime_error: PCD compressed block of",
     [](const PcdHeader& h, std::uint64_t block) {
         return h.data == encoding_name(Encoding::binary_compressed) && block > limit_32;
     }},
};

// The header of a whole-file case, and the compressed size its block header states.
bool read_facts(const std::string& path, PcdHeader& header, std::uint64_t& block_bytes) {
    try {
        FileSource in(path);
        header = parse_pcd_header(in);
        std::uint32_t size = 0;
        if (in.remaining() >= sizeof size) in.read_exactly(&size, sizeof size);
        block_bytes = size;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

const ByDesign* refused_by_design(const std::string& path, bool data_section, const std::string& outcome) {
    if (sizeof(void*) >= 8 || data_section) return nullptr;
    PcdHeader header;
    std::uint64_t block_bytes = 0;
    if (!read_facts(path, header, block_bytes)) return nullptr;
    for (const ByDesign& exception : by_design) {
        if (outcome.starts_with(exception.refusal) && exception.applies(header, block_bytes)) return &exception;
    }
    return nullptr;
}

std::vector<std::string> files_in(const std::string& path) {
    if (!std::filesystem::is_directory(path)) return {path};
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

std::map<std::string, std::string> read_expected(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read the expected outcomes in " + path);
    std::map<std::string, std::string> expected;
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) expected[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return expected;
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> expected;
    bool comparing = false;
    bool data_section = false;
    std::vector<std::pair<std::string, bool>> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--expect" && i + 1 < argc) {
            expected = read_expected(argv[++i]);
            comparing = true;
        } else if (argument == "--data-section") {
            data_section = true;
        } else {
            for (const std::string& file : files_in(argv[i])) inputs.emplace_back(file, data_section);
        }
    }
    std::size_t passed = 0, failed = 0;
    std::map<std::string_view, std::size_t> refused;  // by reason
    for (const auto& [path, as_section] : inputs) {
        const std::string got = replay_file(path, as_section);
        if (!comparing) {
            std::cout << path << '\t' << got << '\n' << std::flush;
            continue;
        }
        const auto wanted = expected.find(path);
        if (wanted != expected.end() && wanted->second == got) {
            ++passed;
        } else if (const ByDesign* exception =
                       wanted == expected.end() ? nullptr : refused_by_design(path, as_section, got)) {
            ++passed;
            ++refused[exception->reason];
        } else {
            ++failed;
            std::cout << "FAILED: " << path
                      << "\n  expected: " << (wanted == expected.end() ? "no outcome" : wanted->second)
                      << "\n  got:      " << got << '\n';
        }
    }
    if (!comparing) return 0;
    for (const auto& [reason, count] : refused) {
        std::cout << count << " passed as refused on 32-bit by design: " << reason << '\n';
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 && passed > 0 ? 0 : 1;
}
