// libFuzzer entry for the PE version-resource reader: any byte string must
// either yield a version or be refused, never read outside the buffer.
#include "peversionreader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly the input size, so AddressSanitizer sees any read
    // past its end.
    std::vector<unsigned char> copy(data, data + size);
    PeVersionReader::FileVersion version{};
    PeVersionReader::read(copy.data(), copy.size(), &version);
    return 0;
}
