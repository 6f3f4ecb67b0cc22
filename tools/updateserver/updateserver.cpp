#include "updateserver.h"

#include "byteranges.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char *const formType = "application/x-www-form-urlencoded";
const char *const binaryType = "application/octet-stream";
const char *const textType = "text/plain";
// Large enough that a 50 MiB file goes out in a few hundred reads.
const size_t readBlock = 256 * 1024;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Form decoding: "+" is a space, "%XY" a byte; a stray "%" stays as it is.
std::string formDecode(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Value of the first field called `name` in a form body; `found` tells an
// empty value from an absent field.
std::string formField(const std::string &body, const std::string &name, bool *found = nullptr)
{
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos)
            end = body.size();
        const std::string pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (formDecode(pair.substr(0, equals)) == name) {
            if (found)
                *found = true;
            return equals == std::string::npos ? std::string() : formDecode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    if (found)
        *found = false;
    return std::string();
}

// The length of the well-formed UTF-8 sequence at `at` (no overlong form,
// no surrogate, nothing past U+10FFFF), or 0.
size_t utf8Length(const std::string &text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xbf; // bounds of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() - at < length || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf)
            return 0;
    }
    return length;
}

// Client-supplied text goes into the log quoted, with control bytes and
// bytes that are not UTF-8 escaped, so that one request can never forge or
// split a log line, nor make the log unreadable as text.
std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c >= 0x80) {
            const size_t length = utf8Length(text, at);
            if (length > 0) {
                out.append(text, at, length);
                at += length;
                continue;
            }
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
        ++at;
    }
    return out + '"';
}

bool isForm(const httplib::Request &request)
{
    std::string type = request.get_header_value("Content-Type");
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return type.compare(0, std::char_traits<char>::length(formType), formType) == 0;
}

void setText(httplib::Response &response, int status, const std::string &text)
{
    response.status = status;
    response.set_content(text + "\n", textType);
}

// One open file and its read buffer, shared by the content provider for as
// long as the response lives; the descriptor closes with the last owner.
struct OpenFile
{
    int fd = -1;
    std::vector<char> buffer;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The form of the request being served on this thread: the library hands
// the body to the handler only, and the log line needs it too.
thread_local std::string t_form;

// The update form carries a path name: a few hundred bytes, never this much.
// The gate refuses larger bodies before they reach the library.
const size_t formLimit = RequestFraming::kBodyLimit;

// "host:port" of the client on the socket.
std::string peerOf(int socket)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getpeername(socket, reinterpret_cast<sockaddr *>(&address), &size) != 0
        || getnameinfo(reinterpret_cast<const sockaddr *>(&address), size, host, sizeof host, service, sizeof service,
                       NI_NUMERICHOST | NI_NUMERICSERV)
               != 0)
        return "?:0";
    return std::string(host) + ':' + service;
}

std::string contentRange(const ByteRanges::Range &range, size_t size)
{
    return "bytes " + std::to_string(range.first) + '-' + std::to_string(range.last) + '/' + std::to_string(size);
}

// A response body made of literal texts and pieces of the open file, read
// block by block as the library asks for them.
struct Body
{
    struct Piece
    {
        size_t start = 0; // offset in the body
        std::string text; // used when length is 0
        size_t fileOffset = 0, length = 0;
        size_t size() const { return length > 0 ? length : text.size(); }
    };
    std::shared_ptr<OpenFile> file;
    std::vector<Piece> pieces;
    size_t size = 0;

    void addText(std::string text)
    {
        Piece piece;
        piece.start = size;
        piece.text = std::move(text);
        size += piece.size();
        pieces.push_back(std::move(piece));
    }
    void addFile(size_t offset, size_t length)
    {
        Piece piece;
        piece.start = size;
        piece.fileOffset = offset;
        piece.length = length;
        size += length;
        pieces.push_back(std::move(piece));
    }
    bool write(size_t offset, size_t length, httplib::DataSink &sink) const
    {
        const auto after = std::upper_bound(pieces.begin(), pieces.end(), offset,
                                            [](size_t at, const Piece &piece) { return at < piece.start; });
        if (after == pieces.begin())
            return false;
        const Piece &piece = *(after - 1);
        const size_t into = offset - piece.start;
        if (piece.length == 0)
            return sink.write(piece.text.data() + into, std::min(length, piece.text.size() - into));
        const size_t want = std::min({length, piece.length - into, file->buffer.size()});
        const ssize_t got = ::pread(file->fd, file->buffer.data(), want, static_cast<off_t>(piece.fileOffset + into));
        // A file that shrank or cannot be read ends the connection: the
        // client sees a short body.
        if (got <= 0)
            return false;
        return sink.write(file->buffer.data(), static_cast<size_t>(got));
    }
};

// A multipart boundary that differs between responses.
std::string makeBoundary()
{
    thread_local std::mt19937_64 random(std::random_device{}());
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

} // namespace

UpdateServer::UpdateServer(const fs::path &root, std::ostream &log)
    : m_server(GuardedServer::Limits())
    , m_root(fs::canonical(root))
    , m_log(log)
{
    // One update run is one connection with a request per file: do not close
    // it after a handful of requests (the library's default is 5). The bound
    // is announced in the Keep-Alive header, so keep it a modest number.
    m_server.set_keep_alive_max_count(1000000);
    m_server.set_payload_max_length(formLimit);
    m_server.Post(".*", [this](const httplib::Request &, httplib::Response &res, const httplib::ContentReader &body) {
        handlePost(res, body);
    });
    m_server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { handleGet(req, res); });
    // Runs when the head of a request has been read, before its body.
    m_server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        // Only the update form is read: the library would hand a multipart
        // body to a reader that nobody gave it.
        if (req.method == "POST" && !isForm(req)) {
            setText(res, 415, std::string("expected ") + formType);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // What went wrong stays in the server: a client sees a plain 500.
    m_server.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.headers.clear();
        setText(res, 500, "internal error");
    });
    m_server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request &req, httplib::Response &res) { return handleRefusal(req, res); }));
    m_server.set_logger([this](const httplib::Request &req, const httplib::Response &res) { logRequest(req, res); });
    m_server.setRefusalLog([this](int socket, const RequestFraming &framing) {
        writeLog(peerOf(socket), framing.method(), framing.target(), std::string(), framing.status(),
                 framing.refusal().size());
    });
}

int UpdateServer::bind(const std::string &host, int port)
{
    if (port == 0)
        return m_server.bind_to_any_port(host);
    return m_server.bind_to_port(host, port) ? port : -1;
}

bool UpdateServer::listen()
{
    return m_server.listenAfterBind();
}

void UpdateServer::stop()
{
    m_server.stop();
}

UpdateServer::Lookup UpdateServer::resolve(const std::string &relative, fs::path &file) const
{
    if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos
        || (!relative.empty() && relative.front() == '/'))
        return Lookup::Forbidden;
    std::istringstream parts(relative);
    for (std::string part; std::getline(parts, part, '/');) {
        if (part == "..")
            return Lookup::Forbidden;
    }

    // The canonical path has every symbolic link resolved, so a link that
    // points out of the root shows up here as a path outside it.
    std::error_code error;
    const fs::path real = fs::canonical(m_root / relative, error);
    if (error)
        return Lookup::Missing;
    const auto mismatch = std::mismatch(m_root.begin(), m_root.end(), real.begin(), real.end());
    if (mismatch.first != m_root.end())
        return Lookup::Forbidden;
    if (!fs::is_regular_file(real, error))
        return Lookup::Missing;
    file = real;
    return Lookup::Found;
}

void UpdateServer::refuseBody(httplib::Response &response)
{
    setText(response, 413, "request body too large");
    response.set_header("Connection", "close");
    GuardedServer::closeAfterResponse();
}

httplib::Server::HandlerResponse UpdateServer::handleRefusal(const httplib::Request &, httplib::Response &response)
{
    if (response.status == 413) {
        // The library stopped reading a body past the limit.
        refuseBody(response);
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void UpdateServer::handlePost(httplib::Response &response, const httplib::ContentReader &reader)
{
    t_form.clear();
    bool tooLarge = false;
    const bool complete = reader([&tooLarge](const char *data, size_t length) {
        if (t_form.size() + length > formLimit) {
            tooLarge = true;
            return false;
        }
        t_form.append(data, length);
        return true;
    });
    if (tooLarge) {
        t_form.clear();
        refuseBody(response);
        return;
    }
    if (!complete) {
        setText(response, 400, "incomplete request body");
        response.set_header("Connection", "close");
        GuardedServer::closeAfterResponse();
        return;
    }
    bool hasRequest = false;
    const std::string wanted = formField(t_form, "request", &hasRequest);
    if (!hasRequest || wanted.empty()) {
        setText(response, 400, "missing field \"request\"");
        return;
    }
    if (wanted == "CLOSE") {
        // The version is what the client saved; the log line records it.
        setText(response, 200, "closed");
        return;
    }
    serveFile(wanted, GuardedServer::currentRange(), response);
}

void UpdateServer::handleGet(const httplib::Request &request, httplib::Response &response)
{
    // The path arrives percent-decoded; the leading "/" is the root itself.
    const std::string &path = request.path;
    serveFile(path.empty() ? path : path.substr(1), GuardedServer::currentRange(), response);
}

void UpdateServer::serveFile(const std::string &relative, const std::string &range, httplib::Response &response)
{
    fs::path file;
    switch (resolve(relative, file)) {
    case Lookup::Forbidden:
        setText(response, 403, "forbidden");
        return;
    case Lookup::Missing:
        setText(response, 404, "not found");
        return;
    case Lookup::Found:
        break;
    }

    auto open = std::make_shared<OpenFile>();
    open->fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (open->fd < 0 || ::fstat(open->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        setText(response, 404, "not found");
        return;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    const ByteRanges ranges(range, size);
    if (ranges.outcome() == ByteRanges::Outcome::Unsatisfiable) {
        setText(response, 416, "range not satisfiable");
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    response.set_header("Accept-Ranges", "bytes");
    if (size == 0) {
        // A provider of length 0 would be taken for one of unknown length.
        response.status = 200;
        response.set_content(std::string(), binaryType);
        return;
    }

    // Streamed block by block: a large file never sits whole in memory.
    auto body = std::make_shared<Body>();
    body->file = open;
    std::string type = binaryType;
    if (ranges.outcome() == ByteRanges::Outcome::Whole) {
        response.status = 200;
        body->addFile(0, size);
    } else if (ranges.ranges().size() == 1) {
        response.status = 206;
        const ByteRanges::Range &only = ranges.ranges().front();
        response.set_header("Content-Range", contentRange(only, size));
        body->addFile(only.first, only.length());
    } else {
        // Several ranges: one multipart/byteranges body, laid out as nginx does.
        response.status = 206;
        const std::string boundary = makeBoundary();
        type = "multipart/byteranges; boundary=" + boundary;
        for (const ByteRanges::Range &part : ranges.ranges()) {
            body->addText("\r\n--" + boundary + "\r\nContent-Type: " + binaryType + "\r\nContent-Range: "
                          + contentRange(part, size) + "\r\n\r\n");
            body->addFile(part.first, part.length());
        }
        body->addText("\r\n--" + boundary + "--\r\n");
    }
    open->buffer.resize(std::min(body->size, readBlock));
    response.set_content_provider(body->size, type.c_str(),
                                  [body](size_t offset, size_t length, httplib::DataSink &sink) {
                                      return body->write(offset, length, sink);
                                  });
}

void UpdateServer::logRequest(const httplib::Request &request, const httplib::Response &response)
{
    std::string form;
    if (request.method == "POST" && isForm(request)) {
        const std::string wanted = formField(t_form, "request");
        if (wanted == "CLOSE")
            form = " CLOSE version=" + quoted(formField(t_form, "version"));
        else
            form = " request=" + quoted(wanted);
    }
    t_form.clear();
    const size_t bytes = response.content_length_ > 0 ? response.content_length_ : response.body.size();
    writeLog(request.remote_addr + ':' + std::to_string(request.remote_port), request.method, request.path, form,
             response.status, bytes);
}

void UpdateServer::writeLog(const std::string &peer, const std::string &method, const std::string &path,
                            const std::string &form, int status, size_t bytes)
{
    std::ostringstream line;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    // The client's port tells one connection from another. The method is
    // a token (framing refuses any other), the path client text.
    line << stamp << ' ' << peer << ' ' << (method.empty() ? "-" : method) << ' ' << quoted(path) << form << ' '
         << status << ' ' << bytes << '\n';

    const std::lock_guard<std::mutex> lock(m_logMutex);
    m_log << line.str() << std::flush;
}
