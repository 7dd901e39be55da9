#include "quorvel_transport/intelhex.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <streambuf>

namespace intelhex {

namespace {

constexpr std::uint64_t kAddressSpace = std::uint64_t{1} << 32;

// Header (count, two address bytes, type) plus the largest data field plus
// the checksum: the most a record can use.
constexpr std::size_t kMaxRecordBytes = 4 + 255 + 1;

enum RecordType : unsigned char {
    kData = 0,
    kEndOfFile = 1,
    kExtendedSegment = 2,
    kExtendedLinear = 4,
};

// Value of each character as a hexadecimal digit, or 0xFF.
constexpr uint8_t kNotADigit = 0xFF;
constexpr std::array<uint8_t, 256> makeDigitTable() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = kNotADigit;
    for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10);
    return t;
}
constexpr auto kDigitValue = makeDigitTable();

// Pairs hexadecimal digits into bytes, one character at a time, until the
// first character that is not a digit. Each byte goes to the sink; the sum
// of all bytes is kept modulo 256.
template <typename Sink>
class HexDecoder {
public:
    explicit HexDecoder(Sink sink) : sink_(sink) {}

    // False once the walk has ended; later characters are ignored.
    bool feed(unsigned char c) {
        if (ended_) return false;
        const uint8_t v = kDigitValue[c];
        if (v == kNotADigit) {
            ended_ = true;
            return false;
        }
        if (high_ < 0) {
            high_ = v;
        } else {
            const auto byte = static_cast<unsigned char>(high_ << 4 | v);
            sum_ = static_cast<unsigned char>(sum_ + byte);
            sink_(byte);
            high_ = -1;
        }
        return true;
    }

    unsigned char sum() const { return sum_; }

private:
    Sink sink_;
    int high_ = -1;
    bool ended_ = false;
    unsigned char sum_ = 0;
};

// One line of input after its ':'. Only the bytes a record can use are kept;
// the sum covers every decoded byte, and the length counts characters only
// as far as the reader needs to know.
struct LineBytes {
    std::array<unsigned char, kMaxRecordBytes> bytes;
    std::size_t decoded = 0;  // may exceed bytes.size()

    void operator()(unsigned char b) {
        if (decoded < bytes.size()) bytes[decoded] = b;
        ++decoded;
    }
};

constexpr std::size_t kMinLineChars = 11;

// Formats records into one line buffer so a line reaches the stream in one write.
class RecordWriter {
public:
    explicit RecordWriter(std::ostream& out) : out_(out) {}

    void record(std::uint8_t type, std::uint16_t address, const unsigned char* data,
                std::size_t n) {
        char line[1 + 2 * kMaxRecordBytes];
        std::size_t pos = 0;
        unsigned char sum = 0;
        auto put = [&](unsigned char b) {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            line[pos++] = kDigits[b >> 4];
            line[pos++] = kDigits[b & 0x0F];
            sum = static_cast<unsigned char>(sum + b);
        };
        line[pos++] = ':';
        put(static_cast<unsigned char>(n));
        put(static_cast<unsigned char>(address >> 8));
        put(static_cast<unsigned char>(address & 0xFF));
        put(type);
        for (std::size_t i = 0; i < n; ++i) put(data[i]);
        put(static_cast<unsigned char>(0x100 - sum));
        out_.write(line, static_cast<std::streamsize>(pos));
        out_ << std::endl;
    }

    void upperAddress(std::uint16_t upper) {
        const unsigned char data[2] = {static_cast<unsigned char>(upper >> 8),
                                       static_cast<unsigned char>(upper & 0xFF)};
        record(kExtendedLinear, 0, data, 2);
    }

private:
    std::ostream& out_;
};

std::uint64_t blockEnd(const hex_data::container::value_type& block) {
    return block.first + std::uint64_t{block.second.size()};
}

}  // namespace

unsigned char hex2binary(std::vector<unsigned char>& out, const std::string& text) {
    HexDecoder decoder([&out](unsigned char b) { out.push_back(b); });
    for (const char c : text) {
        if (!decoder.feed(static_cast<unsigned char>(c))) break;
    }
    return decoder.sum();
}

hex_data::hex_data() = default;

hex_data::hex_data(const std::string& path) { load(path); }

hex_data::~hex_data() = default;

void hex_data::load(const std::string& path) {
    std::ifstream in(path);
    if (in.is_open()) read(in);
}

void hex_data::read(std::istream& in) {
    if (!in.good()) return;
    std::streambuf* buf = in.rdbuf();
    if (buf == nullptr) return;
    constexpr int kEof = std::char_traits<char>::eof();

    std::uint32_t base = 0;
    bool atEof = false;
    while (!atEof) {
        int c = buf->sbumpc();
        if (c == kEof) {
            atEof = true;
            break;
        }
        if (c != ':') break;

        // The rest of the line, up to the line feed, in one pass.
        LineBytes line;
        HexDecoder<LineBytes&> decoder(line);
        std::size_t chars = 0;
        for (;;) {
            c = buf->sbumpc();
            if (c == kEof) {
                atEof = true;
                break;
            }
            if (c == '\n') break;
            if (chars < kMinLineChars) ++chars;
            decoder.feed(static_cast<unsigned char>(c));
        }
        if (chars < kMinLineChars) break;
        if (decoder.sum() != 0) break;

        // Header, data and checksum must all be on the line; the count byte
        // is only read once it was decoded.
        const auto* b = line.bytes.data();
        if (line.decoded < 5) break;
        const std::size_t n = b[0];
        if (line.decoded < 5 + n) break;
        const auto address = static_cast<std::uint32_t>(b[1] << 8 | b[2]);
        const unsigned char type = b[3];
        const unsigned char* data = b + 4;

        if (type == kData) {
            const std::uint64_t first = std::uint64_t{base} + address;
            if (first + n > kAddressSpace) break;
            store(static_cast<std::uint32_t>(first), data, n);
        } else if ((type == kExtendedSegment || type == kExtendedLinear) && address == 0 &&
                   n == 2) {
            const std::uint32_t value = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
            if (type == kExtendedSegment) {
                base = value << 4;
                segment_record_seen = true;
            } else {
                base = value << 16;
                linear_record_seen = true;
            }
        }
        // End-of-file, start address and unknown records are skipped.
    }
    if (atEof) in.setstate(std::ios::eofbit);
}

void hex_data::store(std::uint32_t a, const unsigned char* bytes, std::size_t n) {
    const std::uint64_t stop = std::uint64_t{a} + n;
    std::uint64_t cur = a;
    // First block that could hold a: the one at or below a, else the next one.
    auto it = blocks.upper_bound(a);
    if (it != blocks.begin() && blockEnd(*std::prev(it)) > a) --it;

    while (cur < stop) {
        const auto* src = bytes + (cur - a);
        if (it != blocks.end() && it->first <= cur) {
            // cur lies in this block: overwrite in place.
            const std::uint64_t upto = std::min(stop, blockEnd(*it));
            std::copy(src, src + (upto - cur), it->second.begin() + (cur - it->first));
            cur = upto;
            ++it;
        } else {
            // A gap up to the next block (or the end of the record) becomes a new block.
            const std::uint64_t upto = it == blocks.end() ? stop : std::min(stop, std::uint64_t{it->first});
            blocks.emplace_hint(it, static_cast<std::uint32_t>(cur), data_container(src, src + (upto - cur)));
            cur = upto;
        }
    }
}

void hex_data::write(const char* path) {
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out.is_open()) return;
    write(out);
}

void hex_data::write(std::ostream& out) {
    if (!out.good()) return;
    out.setf(std::ios::hex, std::ios::basefield);
    out.setf(std::ios::uppercase);
    out.fill('0');

    if (!linear_record_seen && !blocks.empty() && max_address() > 0xFFFF) linear_record_seen = true;
    RecordWriter writer(out);
    if (linear_record_seen) writer.upperAddress(0);

    std::uint32_t upper = 0;
    for (const auto& [start, bytes] : blocks) {
        // Records hold at most 255 bytes and may not cross a 64 KiB boundary.
        std::size_t done = 0;
        while (done < bytes.size()) {
            const std::uint32_t at = start + static_cast<std::uint32_t>(done);
            const std::size_t toBoundary = 0x10000 - (at & 0xFFFF);
            const std::size_t n = std::min({bytes.size() - done, std::size_t{255}, toBoundary});
            if ((at >> 16) != upper) {
                upper = at >> 16;
                writer.upperAddress(static_cast<std::uint16_t>(upper));
            }
            writer.record(kData, static_cast<std::uint16_t>(at & 0xFFFF), bytes.data() + done, n);
            done += n;
        }
    }
    out << ":00000001FF\n";
}

void hex_data::clear() {
    fill_byte = 0;
    segment_record_seen = false;
    linear_record_seen = false;
    blocks.clear();
}

std::uint64_t hex_data::size() const {
    std::uint64_t total = 0;
    for (const auto& block : blocks) total += block.second.size();
    return total;
}

std::uint64_t hex_data::size_below_addr(unsigned int addr) const {
    return size_in_range(0, addr);
}

std::uint64_t hex_data::size_in_range(unsigned int lo, unsigned int hi) const {
    std::uint64_t total = 0;
    for (const auto& block : blocks) {
        const std::uint64_t from = std::max<std::uint64_t>(block.first, lo);
        const std::uint64_t to = std::min<std::uint64_t>(blockEnd(block), hi);
        if (block.first >= hi) break;
        if (to > from) total += to - from;
    }
    return total;
}

std::uint32_t hex_data::max_addr_below(unsigned int addr) const {
    auto it = blocks.upper_bound(addr);
    if (it == blocks.begin()) return 0;
    --it;
    const std::uint64_t end = blockEnd(*it);
    return end > addr ? addr : static_cast<std::uint32_t>(end - 1);
}

std::uint32_t hex_data::min_address() const {
    return blocks.empty() ? 0 : blocks.begin()->first;
}

std::uint32_t hex_data::max_address() const {
    return blocks.empty() ? 0 : static_cast<std::uint32_t>(blockEnd(*blocks.rbegin()) - 1);
}

hex_data::const_iterator hex_data::containing(unsigned int addr) const {
    auto it = blocks.upper_bound(addr);
    if (it == blocks.begin()) return blocks.end();
    --it;
    return blockEnd(*it) > addr ? it : blocks.end();
}

hex_data::iterator hex_data::at_or_below(unsigned int addr) {
    auto it = blocks.upper_bound(addr);
    return it == blocks.begin() ? blocks.end() : std::prev(it);
}

unsigned char hex_data::get(unsigned int addr) const {
    const auto it = containing(addr);
    return it == blocks.end() ? fill_byte : it->second[addr - it->first];
}

bool hex_data::is_set(unsigned int addr) const { return containing(addr) != blocks.end(); }

unsigned char& hex_data::create(unsigned int addr, unsigned char value) {
    const auto it = at_or_below(addr);
    if (it != blocks.end() && blockEnd(*it) == addr) {
        it->second.push_back(value);
        return it->second.back();
    }
    return blocks.emplace(addr, data_container{value}).first->second.front();
}

void hex_data::set(unsigned int addr, unsigned char value) {
    if (value == fill_byte) {
        erase(addr);
        return;
    }
    const auto it = at_or_below(addr);
    if (it != blocks.end() && blockEnd(*it) > addr) {
        it->second[addr - it->first] = value;
    } else {
        create(addr, value);
    }
}

unsigned char& hex_data::operator[](unsigned int addr) {
    const auto it = at_or_below(addr);
    if (it != blocks.end() && blockEnd(*it) > addr) return it->second[addr - it->first];
    return create(addr, fill_byte);
}

void hex_data::erase(unsigned int addr) { erase(addr, addr); }

void hex_data::erase(unsigned int lo, unsigned int hi) {
    if (lo > hi) std::swap(lo, hi);
    auto it = at_or_below(lo);
    if (it == blocks.end()) it = blocks.begin();
    while (it != blocks.end() && it->first <= hi) {
        const std::uint64_t end = blockEnd(*it);
        if (end <= lo) {
            ++it;
            continue;
        }
        // The bytes after hi live on as a block of their own.
        if (end > std::uint64_t{hi} + 1) {
            const auto& bytes = it->second;
            const auto tailStart = bytes.begin() + (std::uint64_t{hi} + 1 - it->first);
            blocks.emplace_hint(std::next(it), hi + 1, data_container(tailStart, bytes.end()));
        }
        if (it->first < lo) {
            it->second.resize(lo - it->first);
            ++it;
        } else {
            it = blocks.erase(it);
        }
    }
}

void hex_data::tidy(unsigned long blocksize) {
    if (blocksize == 0) return;
    for (auto it = blocks.begin(); it != blocks.end(); ++it) {
        auto& bytes = it->second;
        if (bytes.size() <= blocksize) continue;
        // Cut every piece from the original at once, so a long block costs
        // one pass; the loop then steps over the pieces.
        auto hint = std::next(it);
        for (std::size_t off = bytes.size() - (bytes.size() - 1) % blocksize - 1; off >= blocksize;
             off -= blocksize) {
            const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(off);
            const auto to = bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(off + blocksize, bytes.size()));
            hint = blocks.emplace_hint(hint, it->first + static_cast<std::uint32_t>(off),
                                       data_container(from, to));
        }
        bytes.resize(blocksize);
    }
}

void hex_data::compact() {
    if (blocks.empty()) return;
    auto prev = blocks.begin();
    for (auto it = std::next(prev); it != blocks.end();) {
        if (blockEnd(*prev) == it->first) {
            prev->second.insert(prev->second.end(), it->second.begin(), it->second.end());
            it = blocks.erase(it);
        } else {
            prev = it++;
        }
    }
}

bool compare(const hex_data& a, const hex_data& b, unsigned char mask, unsigned int lo,
             unsigned int hi) {
    for (const auto& [start, bytes] : a) {
        if (start > hi) break;
        const std::uint64_t end = start + std::uint64_t{bytes.size()};
        if (end <= lo) continue;
        const std::uint64_t from = std::max<std::uint64_t>(start, lo);
        const std::uint64_t to = std::min<std::uint64_t>(end, std::uint64_t{hi} + 1);
        for (std::uint64_t addr = from; addr < to; ++addr) {
            const auto mine = bytes[addr - start];
            const auto theirs = b.get(static_cast<unsigned int>(addr));
            if (((mine ^ theirs) & mask) != 0) return false;
        }
    }
    return true;
}

}  // namespace intelhex
