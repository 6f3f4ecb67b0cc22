#include "fileversion.h"

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <vector>
#else
#include "peversionreader.h"

#include <QFile>
#endif

#ifdef Q_OS_WIN

bool readFileVersion(const QString &path, Version *version)
{
    const std::wstring widePath = path.toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(widePath.c_str(), &handle);
    if (size == 0)
        return false;
    std::vector<unsigned char> block(size);
    if (!GetFileVersionInfoW(widePath.c_str(), handle, size, block.data()))
        return false;
    VS_FIXEDFILEINFO *info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&info), &infoSize) || !info
        || infoSize < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != 0xfeef04bd)
        return false;
    *version = Version(HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                       HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return true;
}

#else

bool readFileVersion(const QString &path, Version *version)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0)
        return false;
    // Mapped rather than read: executables can be large and only a few
    // header and resource pages are ever touched.
    const uchar *data = file.map(0, file.size());
    if (!data)
        return false;
    PeVersionReader::FileVersion fileVersion{};
    const bool ok = PeVersionReader::read(data, size_t(file.size()), &fileVersion);
    file.unmap(const_cast<uchar *>(data));
    if (ok)
        *version = Version(fileVersion[0], fileVersion[1], fileVersion[2], fileVersion[3]);
    return ok;
}

#endif
