// libFuzzer entry for what updateserver reads of a connection before the
// HTTP library does: the framing of the first request in the bytes, and the
// Range header it carries, against a few file sizes.
#include "byteranges.h"
#include "fuzzcheck.h"
#include "requestframing.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string received(reinterpret_cast<const char *>(data), size);
    const RequestFraming framing(received);
    switch (framing.verdict()) {
    case RequestFraming::Verdict::Incomplete:
        // Reading stops past this, so an incomplete request never needs more.
        FUZZ_CHECK(size <= RequestFraming::kRequestLimit);
        return 0;
    case RequestFraming::Verdict::Refused: {
        const int status = framing.status();
        FUZZ_CHECK(status == 400 || status == 413 || status == 414 || status == 501 || status == 505);
        FUZZ_CHECK(framing.refusal().find("\r\nConnection: close\r\n") != std::string::npos);
        return 0;
    }
    case RequestFraming::Verdict::Complete:
        break;
    }
    FUZZ_CHECK(framing.length() > 0 && framing.length() <= size);
    // What the library gets frames the same way once more, as itself, with
    // a body no larger than the form limit.
    const std::string &rewritten = framing.rewritten();
    const RequestFraming again(rewritten + "GET / HTTP/1.1\r\n");
    FUZZ_CHECK(again.verdict() == RequestFraming::Verdict::Complete);
    FUZZ_CHECK(again.length() == rewritten.size() && again.rewritten() == rewritten);
    FUZZ_CHECK(again.range().empty());
    FUZZ_CHECK(rewritten.size() - rewritten.find("\r\n\r\n") - 4 <= RequestFraming::kBodyLimit);

    for (const std::uint64_t fileSize : {std::uint64_t(0), std::uint64_t(1), std::uint64_t(1000), std::uint64_t(1) << 40}) {
        const ByteRanges ranges(framing.range(), fileSize);
        std::uint64_t total = 0;
        for (const ByteRanges::Range &range : ranges.ranges()) {
            FUZZ_CHECK(range.first <= range.last && range.last < fileSize);
            total += range.length();
        }
        FUZZ_CHECK(ranges.ranges().size() <= ByteRanges::kMaxRanges && total <= fileSize);
        FUZZ_CHECK((ranges.outcome() == ByteRanges::Outcome::Partial) == !ranges.ranges().empty());
    }
    return 0;
}
