#ifndef BYTERANGES_H
#define BYTERANGES_H

#include <cstdint>
#include <string>
#include <vector>

// What a Range header asks of a file of a known size, decided the way nginx
// decides it, so that a client sees the same answers from both servers:
// - a header that does not start with "bytes=" is ignored (the whole file),
//   and so is any header for an empty file;
// - a malformed list, or a range whose first byte lies after its last, is
//   unsatisfiable;
// - ranges that start at or past the end are dropped, ends past the end are
//   cut to it, "-N" is the last N bytes (all of a shorter file);
// - nothing left is unsatisfiable; ranges that add up to more than the file,
//   or more than 16 of them, are ignored (the whole file), which bounds what
//   a header can make the server send and how many parts it builds;
// - a number past the largest signed 64-bit offset is unsatisfiable.
// GET and the update POST both answer through it.
class ByteRanges
{
public:
    static constexpr size_t kMaxRanges = 16;

    enum class Outcome { Whole, Partial, Unsatisfiable };
    struct Range
    {
        std::uint64_t first = 0, last = 0; // inclusive
        std::uint64_t length() const { return last - first + 1; }
    };

    // An empty header asks for the whole file.
    ByteRanges(const std::string &header, std::uint64_t size);

    Outcome outcome() const { return m_outcome; }
    // Partial only: one or more ranges in the order asked.
    const std::vector<Range> &ranges() const { return m_ranges; }

private:
    Outcome parse(const std::string &header, std::uint64_t size);

    Outcome m_outcome = Outcome::Whole;
    std::vector<Range> m_ranges;
};

#endif // BYTERANGES_H
