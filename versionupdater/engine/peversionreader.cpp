#include "peversionreader.h"

namespace {

constexpr std::uint16_t kDosMagic = 0x5a4d;      // "MZ"
constexpr std::uint32_t kPeMagic = 0x00004550;   // "PE\0\0"
constexpr std::uint16_t kPe32Magic = 0x10b;
constexpr std::uint16_t kPe32PlusMagic = 0x20b;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint32_t kVsVersionInfoId = 1;
constexpr std::uint32_t kFixedFileInfoSignature = 0xfeef04bd;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::size_t kFixedFileInfoSize = 52;

// A bounds-checked little-endian view of the file. Every read says whether
// it fit; nothing is read past the end.
class Bytes
{
public:
    Bytes(const unsigned char *data, std::size_t size) : m_data(data), m_size(size) {}

    bool fits(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= m_size && length <= m_size - offset;
    }
    bool u16(std::uint64_t offset, std::uint16_t *value) const
    {
        if (!fits(offset, 2))
            return false;
        const unsigned char *p = m_data + offset;
        *value = std::uint16_t(p[0] | (p[1] << 8));
        return true;
    }
    bool u32(std::uint64_t offset, std::uint32_t *value) const
    {
        if (!fits(offset, 4))
            return false;
        const unsigned char *p = m_data + offset;
        *value = std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
                 | (std::uint32_t(p[3]) << 24);
        return true;
    }

private:
    const unsigned char *m_data;
    std::size_t m_size;
};

struct Section
{
    std::uint32_t virtualAddress;
    std::uint32_t rawSize;
    std::uint32_t rawOffset;
};

class Image
{
public:
    explicit Image(const Bytes &bytes) : m_bytes(bytes) {}

    bool parseHeaders(std::uint32_t *resourceRva, std::uint32_t *resourceSize)
    {
        std::uint16_t dosMagic = 0;
        std::uint32_t peOffset = 0;
        if (!m_bytes.u16(0, &dosMagic) || dosMagic != kDosMagic || !m_bytes.u32(0x3c, &peOffset))
            return false;
        std::uint32_t peMagic = 0;
        if (!m_bytes.u32(peOffset, &peMagic) || peMagic != kPeMagic)
            return false;

        const std::uint64_t fileHeader = std::uint64_t(peOffset) + 4;
        std::uint16_t optionalSize = 0;
        if (!m_bytes.u16(fileHeader + 2, &m_sectionCount) || !m_bytes.u16(fileHeader + 16, &optionalSize))
            return false;

        const std::uint64_t optional = fileHeader + 20;
        std::uint16_t optionalMagic = 0;
        if (!m_bytes.u16(optional, &optionalMagic))
            return false;
        std::uint64_t countOffset = 0;
        if (optionalMagic == kPe32Magic)
            countOffset = 92;
        else if (optionalMagic == kPe32PlusMagic)
            countOffset = 108;
        else
            return false;

        std::uint32_t directoryCount = 0;
        if (!m_bytes.u32(optional + countOffset, &directoryCount) || directoryCount <= kResourceDirectoryIndex)
            return false;
        const std::uint64_t entry = countOffset + 4 + 8 * std::uint64_t(kResourceDirectoryIndex);
        // The resource directory entry must lie inside the declared optional header.
        if (entry + 8 > optionalSize)
            return false;
        if (!m_bytes.u32(optional + entry, resourceRva) || !m_bytes.u32(optional + entry + 4, resourceSize))
            return false;
        m_sectionTable = optional + optionalSize;
        return m_bytes.fits(m_sectionTable, std::uint64_t(m_sectionCount) * 40);
    }

    // File offset of the bytes [rva, rva + length), which must lie within
    // the raw data of a single section and within the file.
    bool rvaToOffset(std::uint32_t rva, std::uint64_t length, std::uint64_t *offset) const
    {
        for (std::uint16_t i = 0; i < m_sectionCount; ++i) {
            Section section{};
            const std::uint64_t header = m_sectionTable + std::uint64_t(i) * 40;
            if (!m_bytes.u32(header + 12, &section.virtualAddress) || !m_bytes.u32(header + 16, &section.rawSize)
                || !m_bytes.u32(header + 20, &section.rawOffset))
                return false;
            if (rva < section.virtualAddress)
                continue;
            const std::uint64_t delta = std::uint64_t(rva) - section.virtualAddress;
            if (delta >= section.rawSize)
                continue;
            if (length > section.rawSize - delta)
                return false;
            *offset = std::uint64_t(section.rawOffset) + delta;
            return m_bytes.fits(*offset, length);
        }
        return false;
    }

private:
    const Bytes &m_bytes;
    std::uint16_t m_sectionCount = 0;
    std::uint64_t m_sectionTable = 0;
};

// The resource tree: offsets inside it are relative to its start and must
// stay inside the directory's declared size.
class ResourceTree
{
public:
    ResourceTree(const Bytes &bytes, std::uint64_t start, std::uint32_t size)
        : m_bytes(bytes), m_start(start), m_size(size)
    {
    }

    // Looks up the entry with the numeric id in the directory at dirOffset.
    bool findId(std::uint32_t dirOffset, std::uint32_t id, std::uint32_t *target) const
    {
        std::uint16_t named = 0;
        std::uint16_t ids = 0;
        if (!u16(dirOffset + 12, &named) || !u16(dirOffset + 14, &ids))
            return false;
        // Named entries come first; numeric ones follow.
        for (std::uint32_t i = named; i < std::uint32_t(named) + ids; ++i) {
            std::uint32_t name = 0;
            if (!u32(dirOffset + 16 + 8 * std::uint64_t(i), &name))
                return false;
            if (name == id)
                return u32(dirOffset + 16 + 8 * std::uint64_t(i) + 4, target);
        }
        return false;
    }

    // The language entry as the loader picks it for a neutral request:
    // neutral, user default, system default, US English, else the first.
    bool findLanguage(std::uint32_t dirOffset, std::uint32_t *target) const
    {
        static const std::uint32_t preferred[] = {0x0000, 0x0400, 0x0800, 0x0409};
        for (std::uint32_t language : preferred) {
            if (findId(dirOffset, language, target))
                return true;
        }
        std::uint16_t named = 0;
        std::uint16_t ids = 0;
        if (!u16(dirOffset + 12, &named) || !u16(dirOffset + 14, &ids) || named + ids == 0)
            return false;
        return u32(dirOffset + 16 + 4, target);
    }

    bool u16(std::uint64_t offset, std::uint16_t *value) const
    {
        return offset + 2 <= m_size && m_bytes.u16(m_start + offset, value);
    }
    bool u32(std::uint64_t offset, std::uint32_t *value) const
    {
        return offset + 4 <= m_size && m_bytes.u32(m_start + offset, value);
    }

private:
    const Bytes &m_bytes;
    std::uint64_t m_start;
    std::uint64_t m_size;
};

// VS_VERSIONINFO: wLength, wValueLength, wType, the key "VS_VERSION_INFO",
// padding to a 32-bit boundary, then VS_FIXEDFILEINFO.
bool readFixedFileInfo(const Bytes &bytes, std::uint64_t block, std::uint32_t blockSize,
                       PeVersionReader::FileVersion *version)
{
    static const char key[] = "VS_VERSION_INFO";
    constexpr std::uint64_t keyOffset = 6;
    constexpr std::uint64_t valueOffset = (keyOffset + sizeof(key) * 2 + 3) & ~std::uint64_t(3);

    std::uint16_t length = 0;
    std::uint16_t valueLength = 0;
    if (!bytes.u16(block, &length) || !bytes.u16(block + 2, &valueLength))
        return false;
    if (length > blockSize || length < valueOffset + kFixedFileInfoSize || valueLength < kFixedFileInfoSize)
        return false;
    for (std::size_t i = 0; i < sizeof(key); ++i) {
        std::uint16_t c = 0;
        if (!bytes.u16(block + keyOffset + 2 * i, &c) || c != std::uint16_t(static_cast<unsigned char>(key[i])))
            return false;
    }
    const std::uint64_t info = block + valueOffset;
    std::uint32_t signature = 0;
    std::uint32_t fileVersionMs = 0;
    std::uint32_t fileVersionLs = 0;
    if (!bytes.u32(info, &signature) || signature != kFixedFileInfoSignature
        || !bytes.u32(info + 8, &fileVersionMs) || !bytes.u32(info + 12, &fileVersionLs))
        return false;
    *version = {std::uint16_t(fileVersionMs >> 16), std::uint16_t(fileVersionMs & 0xffff),
                std::uint16_t(fileVersionLs >> 16), std::uint16_t(fileVersionLs & 0xffff)};
    return true;
}

} // namespace

bool PeVersionReader::read(const unsigned char *data, std::size_t size, FileVersion *version)
{
    if (!data)
        return false;
    const Bytes bytes(data, size);
    Image image(bytes);
    std::uint32_t resourceRva = 0;
    std::uint32_t resourceSize = 0;
    if (!image.parseHeaders(&resourceRva, &resourceSize) || resourceRva == 0 || resourceSize < 16)
        return false;
    std::uint64_t resourceStart = 0;
    if (!image.rvaToOffset(resourceRva, resourceSize, &resourceStart))
        return false;
    const ResourceTree tree(bytes, resourceStart, resourceSize);

    // Type, then name, then language; the first two levels must be
    // subdirectories and the last a data entry, so no cycle can be followed.
    std::uint32_t entry = 0;
    if (!tree.findId(0, kRtVersion, &entry) || !(entry & kHighBit))
        return false;
    if (!tree.findId(entry & ~kHighBit, kVsVersionInfoId, &entry) || !(entry & kHighBit))
        return false;
    if (!tree.findLanguage(entry & ~kHighBit, &entry) || (entry & kHighBit))
        return false;

    std::uint32_t dataRva = 0;
    std::uint32_t dataSize = 0;
    if (!tree.u32(entry, &dataRva) || !tree.u32(std::uint64_t(entry) + 4, &dataSize))
        return false;
    std::uint64_t dataOffset = 0;
    if (!image.rvaToOffset(dataRva, dataSize, &dataOffset))
        return false;
    return readFixedFileInfo(bytes, dataOffset, dataSize, version);
}
