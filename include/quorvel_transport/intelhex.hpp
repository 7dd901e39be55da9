#ifndef QUORVEL_TRANSPORT_INTELHEX_HPP
#define QUORVEL_TRANSPORT_INTELHEX_HPP

// Sparse memory image read from and written as Intel HEX text.
//
// The image is a set of blocks, each a run of consecutive bytes stored under
// its start address. Blocks never overlap and are never empty; they may
// touch, since only compact() merges them. An address inside a block is set;
// every other address is unset and reads as the fill byte (always 0).
//
// Input is treated as untrusted: read() bounds and checks every line before
// it uses it and never throws on bad input. No member locks: one thread uses
// an image at a time.

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "config.hpp"

namespace intelhex {

class QUORVEL_API hex_data {
public:
    using data_container = std::vector<unsigned char>;
    using container = std::map<std::uint32_t, data_container>;
    using iterator = container::iterator;
    using const_iterator = container::const_iterator;

    // An empty image.
    hex_data();
    // An empty image, then load(path).
    explicit hex_data(const std::string& path);
    ~hex_data();

    // Blocks in ascending address order: pairs of start address and bytes.
    // A caller that changes a block's bytes must not leave it empty.
    iterator begin() { return blocks.begin(); }
    iterator end() { return blocks.end(); }
    const_iterator begin() const { return blocks.begin(); }
    const_iterator end() const { return blocks.end(); }

    // Reads the file as text; a file that cannot be opened adds nothing.
    void load(const std::string& path);

    // Adds the data of Intel HEX text to the blocks already held. The base
    // address starts at 0 on every call. Reading stops silently, keeping what
    // was read before, at the end of input and at the first line that
    //  - does not begin with ':' (blank lines and leading spaces included),
    //  - has fewer than 11 characters after the ':' (so an end-of-file record
    //    with a bare line feed ends reading; with CR LF it is read and skipped),
    //  - decodes to bytes whose sum modulo 256 is not 0,
    //  - is too short for its header, its announced count and its checksum,
    //  - is a data record whose bytes would run past address 0xFFFFFFFF.
    // Decoding stops at the first character that is not a hexadecimal digit.
    // Data records overwrite bytes already set and make new blocks of the
    // bytes that fall in no block; blocks are never extended or merged.
    // Extended segment (type 2) and extended linear (type 4) address records
    // set the base only when their address is 0 and their count 2; every other
    // record type is skipped.
    void read(std::istream& in);

    // Truncates the file and writes the image; nothing when it cannot be opened.
    void write(const char* path);

    // Writes the image as Intel HEX; nothing when the stream is not good.
    // Leaves the stream in hexadecimal, upper-case mode with '0' as fill.
    // Every line but the last (":00000001FF") is flushed. Starts with an
    // extended linear address record for 0 when linear_record_seen is set, or
    // when a byte lies above 0xFFFF (which then sets the flag). A block longer
    // than 255 bytes or running across a 64 KiB boundary is split into as
    // many data records as it needs, so the output is always valid.
    void write(std::ostream& out);

    // Fill byte 0, both flags clear, no blocks.
    void clear();

    // Number of set bytes.
    std::uint64_t size() const;
    // Number of set bytes at addresses below addr.
    std::uint64_t size_below_addr(unsigned int addr) const;
    // Number of set bytes at addresses from lo up to, not including, hi.
    std::uint64_t size_in_range(unsigned int lo, unsigned int hi) const;

    // The highest set address not above addr; 0 when no block starts at or
    // below addr.
    std::uint32_t max_addr_below(unsigned int addr) const;
    // Start of the first block and last byte of the last block; both 0 for
    // an empty image.
    std::uint32_t min_address() const;
    std::uint32_t max_address() const;

    // The byte at addr, or the fill byte when addr is unset.
    unsigned char get(unsigned int addr) const;
    // Stores value at addr: overwrites a set byte, appends to a block that
    // ends just before addr, or starts a new one-byte block. Setting the fill
    // byte unsets addr instead.
    void set(unsigned int addr, unsigned char value);
    // The stored byte at addr. An unset addr is first created holding the fill
    // byte, the way set() stores a byte (appended to a block ending just
    // before addr, or a new one-byte block), so the address is set afterwards
    // even when the fill byte is then left in it. The reference stays valid
    // until the next change to the blocks.
    unsigned char& operator[](unsigned int addr);
    bool is_set(unsigned int addr) const;

    // Unsets addr.
    void erase(unsigned int addr);
    // Unsets every address from lo to hi, both included (lo and hi may come
    // in either order). A block cut in the middle becomes two.
    void erase(unsigned int lo, unsigned int hi);

    // Splits every block longer than blocksize into blocks of blocksize bytes
    // and a remainder. A blocksize of 0 changes nothing.
    void tidy(unsigned long blocksize);
    // Merges each run of touching blocks into one block.
    void compact();

    unsigned char fill() const { return fill_byte; }

private:
    unsigned char fill_byte = 0;

public:
    // Set by read() when it takes an extended segment address record.
    bool segment_record_seen = false;
    // Set by read() when it takes an extended linear address record, and by
    // write() when a byte lies above 0xFFFF.
    bool linear_record_seen = false;

private:
    // The block holding addr, or end().
    const_iterator containing(unsigned int addr) const;
    // The block with the largest start not above addr, or end().
    iterator at_or_below(unsigned int addr);
    // Stores the byte for an unset addr and returns it.
    unsigned char& create(unsigned int addr, unsigned char value);
    // Writes n bytes at address a (a + n <= 2^32), as a data record does.
    void store(std::uint32_t a, const unsigned char* bytes, std::size_t n);

    container blocks;
};

// True when every set byte of a with an address from lo to hi (both
// included) equals, in the bits of mask, b.get() at the same address. Bytes
// set only in b are not looked at.
QUORVEL_API bool compare(const hex_data& a, const hex_data& b, unsigned char mask, unsigned int lo,
                         unsigned int hi);

// Appends the bytes of the leading run of hexadecimal digit pairs of text to
// out (a final unpaired digit is dropped) and returns their sum modulo 256.
QUORVEL_API unsigned char hex2binary(std::vector<unsigned char>& out, const std::string& text);

}  // namespace intelhex

#endif
