#include "entryname.h"

#include <cctype>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <cwctype>
#include <locale.h>
#endif

namespace platform {

namespace {

bool isReservedDevice(const std::string &name)
{
    // The part before the first dot, without trailing spaces: "aux.txt",
    // "CON .log" and "nul.tar.gz" all open a device.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::string upper;
    for (const char c : base)
        upper += char(std::toupper(static_cast<unsigned char>(c)));
    for (const char *reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (upper == reserved)
            return true;
    }
    if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0))
        return false;
    const std::string digit = upper.substr(3);
    // 1 to 9, and the superscripts one, two and three (UTF-8).
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xc2\xb9" || digit == "\xc2\xb2"
           || digit == "\xc2\xb3";
}

#ifndef _WIN32
// Decodes one UTF-8 sequence at `at`; an invalid byte stands for itself.
char32_t decode(const std::string &text, size_t *at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(*at);
    int length = first < 0x80 ? 1 : (first >> 5) == 6 ? 2 : (first >> 4) == 14 ? 3 : (first >> 3) == 30 ? 4 : 0;
    if (length == 0 || *at + size_t(length) > text.size()) {
        ++*at;
        return first;
    }
    char32_t code = length == 1 ? first : first & (0x7f >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(*at + size_t(i)) & 0xc0) != 0x80) {
            ++*at;
            return first;
        }
        code = (code << 6) | (byte(*at + size_t(i)) & 0x3f);
    }
    *at += size_t(length);
    return code;
}

void encode(char32_t code, std::string *out)
{
    if (code < 0x80) {
        *out += char(code);
    } else if (code < 0x800) {
        *out += char(0xc0 | (code >> 6));
        *out += char(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        *out += char(0xe0 | (code >> 12));
        *out += char(0x80 | ((code >> 6) & 0x3f));
        *out += char(0x80 | (code & 0x3f));
    } else {
        *out += char(0xf0 | (code >> 18));
        *out += char(0x80 | ((code >> 12) & 0x3f));
        *out += char(0x80 | ((code >> 6) & 0x3f));
        *out += char(0x80 | (code & 0x3f));
    }
}

// Upper-case one character at a time, as the NTFS table does, whatever the
// process's locale; without a UTF-8 locale only ASCII is folded.
char32_t upper(char32_t code)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (utf8)
        return char32_t(towupper_l(wint_t(code), utf8));
    return code < 0x80 ? char32_t(std::toupper(int(code))) : code;
}
#endif

} // namespace

std::string EntryName::windowsProblem(const std::string &name)
{
    if (name.empty())
        return "an empty name";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20)
            return "a control character (" + std::to_string(int(byte)) + ")";
        if (std::string("<>:\"|?*\\/").find(c) != std::string::npos)
            return std::string("the character ") + c;
    }
    if (name.back() == '.')
        return "a trailing dot";
    if (name.back() == ' ')
        return "a trailing space";
    if (isReservedDevice(name))
        return "a reserved device name";
    return std::string();
}

std::string EntryName::windowsKey(const std::string &name)
{
#ifdef _WIN32
    const std::wstring wide = NativeText::fromUtf8(name);
    if (wide.empty())
        return name;
    std::wstring upper(wide.size(), L'\0');
    // One character for one: the same mapping the file system applies.
    if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), int(wide.size()), &upper[0],
                      int(upper.size()), nullptr, nullptr, 0)
        == 0)
        return name;
    return NativeText::toUtf8(upper);
#else
    std::string key;
    key.reserve(name.size());
    for (size_t at = 0; at < name.size();)
        encode(upper(decode(name, &at)), &key);
    return key;
#endif
}

bool EntryName::isPlain(const NativeText::String &name)
{
    if (name.empty())
        return false;
    const NativeText::String dot(1, '.');
    if (name == dot || name == dot + dot)
        return false;
    for (const auto c : name) {
        if (c == 0 || c == '/')
            return false;
#ifdef _WIN32
        if (c == '\\')
            return false;
#endif
    }
    return true;
}

} // namespace platform
