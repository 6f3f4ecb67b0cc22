#include "updateserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <memory>
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

// Client-supplied text goes into the log quoted, with control bytes escaped,
// so that one request can never forge or split a log line.
std::string quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            static const char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
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

int portOf(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return -1;
}

bool carries(int fd, const httplib::Request &request)
{
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&local), &localSize) == 0
        && getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerSize) == 0
        && portOf(local) == request.local_port && portOf(peer) == request.remote_port;
}

// Sends the acknowledgement of what has arrived of the request at once.
// A client that writes the head and the body of a POST separately without
// TCP_NODELAY (Qt does) holds the body back until the head is acknowledged,
// and Linux delays that acknowledgement by 40 ms on a connection that has
// already seen a reply: one stall per file of an update run.
// The library does not hand out the socket, so it is looked up once per
// connection by its ports; each connection stays on one worker thread.
void acknowledgeNow(const httplib::Request &request)
{
    thread_local int socket = -1;
    if (socket < 0 || !carries(socket, request)) {
        socket = -1;
        std::error_code error;
        for (const auto &entry : fs::directory_iterator("/proc/self/fd", error)) {
            const int fd = std::atoi(entry.path().filename().c_str());
            if (carries(fd, request)) {
                socket = fd;
                break;
            }
        }
    }
    const int on = 1;
    if (socket >= 0)
        setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace

UpdateServer::UpdateServer(const fs::path &root, std::ostream &log)
    : m_root(fs::canonical(root))
    , m_log(log)
{
    // One update run is one connection with a request per file: do not close
    // it after a handful of requests (the library's default is 5). The bound
    // is announced in the Keep-Alive header, so keep it a modest number.
    m_server.set_keep_alive_max_count(1000000);
    m_server.set_tcp_nodelay(true);
    m_server.Post(".*", [this](const httplib::Request &req, httplib::Response &res) { handlePost(req, res); });
    m_server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { handleGet(req, res); });
    // Runs when the head of a request has been read, before its body.
    m_server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &) {
        acknowledgeNow(req);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_server.set_logger([this](const httplib::Request &req, const httplib::Response &res) { logRequest(req, res); });
}

int UpdateServer::bind(const std::string &host, int port)
{
    if (port == 0)
        return m_server.bind_to_any_port(host);
    return m_server.bind_to_port(host, port) ? port : -1;
}

bool UpdateServer::listen()
{
    return m_server.listen_after_bind();
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

void UpdateServer::handlePost(const httplib::Request &request, httplib::Response &response)
{
    if (!isForm(request)) {
        setText(response, 415, std::string("expected ") + formType);
        return;
    }
    bool hasRequest = false;
    const std::string wanted = formField(request.body, "request", &hasRequest);
    if (!hasRequest || wanted.empty()) {
        setText(response, 400, "missing field \"request\"");
        return;
    }
    if (wanted == "CLOSE") {
        // The version is what the client saved; the log line records it.
        setText(response, 200, "closed");
        return;
    }
    serveFile(wanted, response);
}

void UpdateServer::handleGet(const httplib::Request &request, httplib::Response &response)
{
    // The path arrives percent-decoded; the leading "/" is the root itself.
    const std::string &path = request.path;
    serveFile(path.empty() ? path : path.substr(1), response);
}

void UpdateServer::serveFile(const std::string &relative, httplib::Response &response)
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
    response.status = 200;
    if (size == 0) {
        // A provider of length 0 would be taken for one of unknown length.
        response.set_content(std::string(), binaryType);
        return;
    }
    // Streamed block by block: a large file never sits whole in memory.
    open->buffer.resize(std::min(size, readBlock));
    response.set_content_provider(size, binaryType,
                                  [open](size_t offset, size_t length, httplib::DataSink &sink) {
                                      const size_t want = std::min(length, open->buffer.size());
                                      const ssize_t got = ::pread(open->fd, open->buffer.data(), want,
                                                                  static_cast<off_t>(offset));
                                      // A file that shrank or cannot be read ends the
                                      // connection: the client sees a short body.
                                      if (got <= 0)
                                          return false;
                                      return sink.write(open->buffer.data(), static_cast<size_t>(got));
                                  });
}

void UpdateServer::logRequest(const httplib::Request &request, const httplib::Response &response)
{
    std::ostringstream line;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    // The client's port tells one connection from another.
    line << stamp << ' ' << request.remote_addr << ':' << request.remote_port << ' ' << request.method << ' ' << quoted(request.path);
    if (request.method == "POST" && isForm(request)) {
        const std::string wanted = formField(request.body, "request");
        if (wanted == "CLOSE")
            line << " CLOSE version=" << quoted(formField(request.body, "version"));
        else
            line << " request=" << quoted(wanted);
    }
    const size_t bytes = response.content_length_ > 0 ? response.content_length_ : response.body.size();
    line << ' ' << response.status << ' ' << bytes << '\n';

    const std::lock_guard<std::mutex> lock(m_logMutex);
    m_log << line.str() << std::flush;
}
