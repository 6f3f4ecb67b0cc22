#include "byteranges.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <strings.h>

namespace {

void skipBlanks(const std::string &text, size_t &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
}

// Reads a decimal number; false when there is none or it does not fit in
// a signed 64-bit offset (nginx's bound).
bool readNumber(const std::string &text, size_t &at, std::uint64_t &value)
{
    const size_t start = at;
    value = 0;
    const auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[at] - '0');
        if (value > (most - digit) / 10)
            return false;
        value = value * 10 + digit;
        ++at;
    }
    return at > start;
}

} // namespace

ByteRanges::ByteRanges(const std::string &header, std::uint64_t size)
{
    m_outcome = parse(header, size);
    if (m_outcome != Outcome::Partial)
        m_ranges.clear();
}

ByteRanges::Outcome ByteRanges::parse(const std::string &header, std::uint64_t size)
{
    static const char unit[] = "bytes=";
    const size_t unitLength = sizeof unit - 1;
    if (size == 0 || header.size() < unitLength || strncasecmp(header.c_str(), unit, unitLength) != 0)
        return Outcome::Whole;

    std::uint64_t total = 0;
    size_t at = unitLength;
    for (;;) {
        skipBlanks(header, at);
        std::uint64_t first = 0, last = 0;
        bool suffix = false, open = false;
        if (at < header.size() && header[at] == '-') {
            suffix = true;
        } else if (!readNumber(header, at, first)) {
            return Outcome::Unsatisfiable;
        }
        skipBlanks(header, at);
        if (at >= header.size() || header[at] != '-')
            return Outcome::Unsatisfiable;
        ++at;
        skipBlanks(header, at);
        if (!readNumber(header, at, last)) {
            if (suffix)
                return Outcome::Unsatisfiable;
            open = true;
        }
        skipBlanks(header, at);
        if (!suffix && !open && first > last)
            return Outcome::Unsatisfiable;

        Range range;
        bool satisfiable = false;
        if (suffix && last > 0 && size > 0) {
            range = {size - std::min(last, size), size - 1};
            satisfiable = true;
        } else if (!suffix && first < size) {
            range = {first, open ? size - 1 : std::min(last, size - 1)};
            satisfiable = true;
        }
        if (satisfiable) {
            m_ranges.push_back(range);
            if ((total += range.length()) > size || m_ranges.size() > kMaxRanges)
                return Outcome::Whole;
        }

        if (at == header.size())
            break;
        if (header[at] != ',')
            return Outcome::Unsatisfiable;
        ++at;
    }
    return m_ranges.empty() ? Outcome::Unsatisfiable : Outcome::Partial;
}
