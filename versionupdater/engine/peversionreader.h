#ifndef PEVERSIONREADER_H
#define PEVERSIONREADER_H

#include <array>
#include <cstddef>
#include <cstdint>

// Reads the file version of a Windows executable image (PE32 or PE32+) from
// its bytes: the resource directory, its RT_VERSION entry and the
// VS_FIXEDFILEINFO inside it, the way the Windows version functions find it.
// The input is untrusted: every offset is checked against the buffer, and a
// damaged or foreign file only makes read() return false.
// Plain C++ on purpose, so that it can be fuzzed without the toolkit.
class PeVersionReader
{
public:
    using FileVersion = std::array<std::uint16_t, 4>;

    static bool read(const unsigned char *data, std::size_t size, FileVersion *version);
};

#endif // PEVERSIONREADER_H
