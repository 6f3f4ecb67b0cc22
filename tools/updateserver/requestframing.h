#ifndef REQUESTFRAMING_H
#define REQUESTFRAMING_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Where the first HTTP/1.x request in the bytes of a connection ends, judged
// before any of it reaches the HTTP library, and the way nginx judges it, so
// that the two servers never disagree on where one request stops and the
// next begins:
// - a request line or header line over 8 KiB, or a head over 32 KiB, is
//   refused as soon as it is seen (414 for the request line, else 400);
// - more than one Content-Length, one that is not plain digits, more than
//   one Transfer-Encoding, or both together, is a 400; a Transfer-Encoding
//   other than "chunked" a 501; chunked in an HTTP/1.0 request a 400;
// - a body (announced, or chunked as it arrives) over the 64 KiB form limit
//   is a 413 without waiting for it;
// - a folded header line, or a header name with blanks, is a 400; a line
//   without a colon, or a name with other odd bytes, is left out.
// A complete request is handed on rewritten: its body decoded and announced
// by one Content-Length, without Transfer-Encoding, Expect and Range; the
// Range value travels beside it, so that the library never parses one.
class RequestFraming
{
public:
    static constexpr std::size_t kLineLimit = 8 * 1024;
    static constexpr std::size_t kHeadLimit = 32 * 1024;
    static constexpr std::size_t kBodyLimit = 64 * 1024;
    // A chunked body may carry this much framing around its data, no more.
    static constexpr std::size_t kChunkedLimit = 2 * kBodyLimit;
    // No request that can still complete is longer than this.
    static constexpr std::size_t kRequestLimit = kHeadLimit + kChunkedLimit;

    enum class Verdict {
        Incomplete, // more bytes are needed
        Complete,
        Refused // answer status() and close the connection
    };

    explicit RequestFraming(std::string_view received);

    Verdict verdict() const { return m_verdict; }
    int status() const { return m_status; }
    // A short reason for the log and the answer's body.
    const std::string &reason() const { return m_reason; }
    // As far as the request line was read; for the log.
    const std::string &method() const { return m_method; }
    const std::string &target() const { return m_target; }
    // Incomplete: the head is whole and asks for "100 Continue".
    bool expectsContinue() const { return m_expectsContinue; }
    // Complete: how many received bytes the request takes, the request as
    // the library gets it, and its (first) Range header, empty when none.
    std::size_t length() const { return m_length; }
    const std::string &rewritten() const { return m_rewritten; }
    const std::string &range() const { return m_range; }

    // The whole answer to a refused request, closing the connection.
    std::string refusal() const;

private:
    void examine(std::string_view received);
    bool refuse(int status, const char *reason);
    // Reads the chunked body that starts at `at`; false when refused or
    // incomplete (m_verdict says which).
    bool readChunked(std::string_view received, std::size_t at, std::string *body, std::size_t *end);

    Verdict m_verdict = Verdict::Incomplete;
    int m_status = 0;
    std::string m_reason;
    std::string m_method, m_target;
    bool m_expectsContinue = false;
    std::size_t m_length = 0;
    std::string m_rewritten;
    std::string m_range;
};

#endif // REQUESTFRAMING_H
