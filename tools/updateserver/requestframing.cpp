#include "requestframing.h"

#include <limits>

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isTokenByte(unsigned char c)
{
    static const std::string_view marks = "!#$%&'*+-.^_`|~";
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || marks.find(static_cast<char>(c)) != npos;
}

bool isToken(std::string_view text)
{
    if (text.empty())
        return false;
    for (unsigned char c : text) {
        if (!isTokenByte(c))
            return false;
    }
    return true;
}

// Control bytes other than a tab never belong in a head.
bool hasControlBytes(std::string_view text)
{
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return true;
    }
    return false;
}

// The line that starts at `at`, without its LF and an optional CR before
// it; npos in *next when its end has not arrived.
std::string_view lineAt(std::string_view received, std::size_t at, std::size_t *next)
{
    const std::size_t end = received.find('\n', at);
    if (end == npos) {
        *next = npos;
        return received.substr(at);
    }
    *next = end + 1;
    std::string_view line = received.substr(at, end - at);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// Plain decimal digits that fit in 63 bits, as nginx reads a length.
bool readLength(std::string_view text, std::uint64_t *value)
{
    if (text.empty())
        return false;
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char *statusText(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 501:
        return "Not Implemented";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Error";
    }
}

} // namespace

RequestFraming::RequestFraming(std::string_view received)
{
    examine(received);
}

bool RequestFraming::refuse(int status, const char *reason)
{
    m_verdict = Verdict::Refused;
    m_status = status;
    m_reason = reason;
    m_rewritten.clear();
    m_range.clear();
    return false;
}

std::string RequestFraming::refusal() const
{
    const std::string body = m_reason + '\n';
    return "HTTP/1.1 " + std::to_string(m_status) + ' ' + statusText(m_status)
           + "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size())
           + "\r\nConnection: close\r\n\r\n" + body;
}

void RequestFraming::examine(std::string_view received)
{
    std::size_t at = 0;
    std::size_t next = 0;
    // Empty lines before a request are skipped, as nginx does.
    std::string_view line = lineAt(received, at, &next);
    while (line.empty() && next != npos && next <= kHeadLimit) {
        at = next;
        line = lineAt(received, at, &next);
    }
    if (line.size() > kLineLimit) {
        refuse(414, "request line too long");
        return;
    }
    if (next == npos || next > kHeadLimit) {
        if (received.size() > kHeadLimit)
            refuse(400, "request head too large");
        return;
    }

    // The request line: METHOD TARGET HTTP/1.x
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == npos || hasControlBytes(line)) {
        refuse(400, "malformed request line");
        return;
    }
    m_method = std::string(line.substr(0, methodEnd));
    std::size_t targetStart = methodEnd;
    while (targetStart < line.size() && line[targetStart] == ' ')
        ++targetStart;
    const std::size_t targetEnd = line.find(' ', targetStart);
    if (targetEnd == npos) {
        refuse(400, "malformed request line");
        return;
    }
    m_target = std::string(line.substr(targetStart, targetEnd - targetStart));
    const std::string_view version = trimmed(line.substr(targetEnd));
    if (!isToken(m_method) || m_target.empty()) {
        refuse(400, "malformed request line");
        return;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        if (version.substr(0, 5) == "HTTP/")
            refuse(505, "HTTP version not supported");
        else
            refuse(400, "malformed request line");
        return;
    }
    std::string head = m_method + ' ' + m_target + ' ' + std::string(version) + "\r\n";

    // The header lines, up to the empty line that ends the head.
    int lengths = 0, encodings = 0;
    std::uint64_t contentLength = 0;
    bool lengthValid = true, chunked = false, expectsContinue = false, ranged = false;
    std::string_view encoding;
    for (;;) {
        at = next;
        line = lineAt(received, at, &next);
        if (line.size() > kLineLimit) {
            refuse(400, "request header line too long");
            return;
        }
        if (next == npos || next > kHeadLimit) {
            if (received.size() > kHeadLimit)
                refuse(400, "request head too large");
            return;
        }
        if (line.empty())
            break;
        if (isBlank(line.front())) {
            refuse(400, "folded header line");
            return;
        }
        if (hasControlBytes(line)) {
            refuse(400, "control byte in a header line");
            return;
        }
        const std::size_t colon = line.find(':');
        if (colon == npos)
            continue; // not a header: left out
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (name.empty() || name.find(' ') != npos || name.find('\t') != npos) {
            refuse(400, "malformed header name");
            return;
        }
        if (!isToken(name))
            continue; // an odd name: left out
        if (sameText(name, "Content-Length")) {
            ++lengths;
            lengthValid = lengthValid && readLength(value, &contentLength);
        } else if (sameText(name, "Transfer-Encoding")) {
            ++encodings;
            encoding = value;
        } else if (sameText(name, "Expect")) {
            expectsContinue = sameText(value, "100-continue");
        } else if (sameText(name, "Range")) {
            if (!ranged)
                m_range = std::string(value);
            ranged = true;
        } else {
            head.append(name.data(), name.size()).append(": ").append(value.data(), value.size()).append("\r\n");
        }
    }
    const std::size_t bodyStart = next;

    if (lengths > 1) {
        refuse(400, "more than one Content-Length");
        return;
    }
    if (lengths == 1 && !lengthValid) {
        refuse(400, "malformed Content-Length");
        return;
    }
    if (encodings > 1) {
        refuse(400, "more than one Transfer-Encoding");
        return;
    }
    if (lengths > 0 && encodings > 0) {
        refuse(400, "both Content-Length and Transfer-Encoding");
        return;
    }
    if (encodings > 0) {
        if (version == "HTTP/1.0") {
            refuse(400, "Transfer-Encoding in an HTTP/1.0 request");
            return;
        }
        if (!sameText(encoding, "chunked")) {
            refuse(501, "Transfer-Encoding not implemented");
            return;
        }
        chunked = true;
    }
    if (contentLength > kBodyLimit) {
        refuse(413, "request body too large");
        return;
    }

    std::string body;
    std::size_t end = bodyStart;
    if (chunked) {
        if (!readChunked(received, bodyStart, &body, &end)) {
            m_expectsContinue = m_verdict == Verdict::Incomplete && expectsContinue;
            return;
        }
    } else {
        if (received.size() - bodyStart < contentLength) {
            m_expectsContinue = expectsContinue;
            return;
        }
        body = std::string(received.substr(bodyStart, contentLength));
        end = bodyStart + contentLength;
    }

    m_verdict = Verdict::Complete;
    m_length = end;
    m_rewritten = std::move(head);
    m_rewritten += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    m_rewritten += body;
}

bool RequestFraming::readChunked(std::string_view received, std::size_t at, std::string *body, std::size_t *end)
{
    const std::size_t start = at;
    const auto incomplete = [&] {
        if (received.size() - start > kChunkedLimit)
            return refuse(413, "request body too large");
        return false; // m_verdict stays Incomplete
    };
    for (;;) {
        std::size_t next = 0;
        const std::string_view line = lineAt(received, at, &next);
        if (line.size() > kLineLimit)
            return refuse(400, "chunk size line too long");
        if (next == npos)
            return incomplete();
        std::uint64_t size = 0;
        std::size_t digits = 0;
        for (; digits < line.size() && hexDigit(line[digits]) >= 0; ++digits) {
            if (size > kBodyLimit)
                return refuse(413, "request body too large");
            size = size * 16 + static_cast<std::uint64_t>(hexDigit(line[digits]));
        }
        std::size_t rest = digits;
        while (rest < line.size() && isBlank(line[rest]))
            ++rest;
        if (digits == 0 || (rest < line.size() && line[rest] != ';') || hasControlBytes(line))
            return refuse(400, "malformed chunk size");
        at = next;
        if (next - start > kChunkedLimit)
            return refuse(413, "request body too large");

        if (size == 0) {
            // Trailer lines up to an empty one; none of them is passed on.
            for (;;) {
                const std::string_view trailer = lineAt(received, at, &next);
                if (trailer.size() > kLineLimit)
                    return refuse(400, "trailer line too long");
                if (next == npos)
                    return incomplete();
                at = next;
                if (at - start > kChunkedLimit)
                    return refuse(413, "request body too large");
                if (trailer.empty()) {
                    *end = at;
                    return true;
                }
            }
        }
        if (body->size() + size > kBodyLimit)
            return refuse(413, "request body too large");
        if (received.size() - at < size + 1)
            return incomplete();
        body->append(received.substr(at, size));
        at += size;
        // The data ends with CRLF (or a bare LF).
        if (received[at] == '\r') {
            if (received.size() - at < 2)
                return incomplete();
            ++at;
        }
        if (received[at] != '\n')
            return refuse(400, "malformed chunk");
        ++at;
    }
}
