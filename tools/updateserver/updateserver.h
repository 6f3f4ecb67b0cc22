#ifndef UPDATESERVER_H
#define UPDATESERVER_H

#include "guardedserver.h"

#include <httplib.h>

#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>

// Publishes one release folder over HTTP the way the update clients expect:
// a form POST whose field "request" names a file below the folder gets that
// file's bytes, "request" = "CLOSE" ends an update run, and a GET serves a
// file by its URL path. Nothing outside the folder is ever served. Both
// honour Range the way nginx does (206, multipart/byteranges, 416), through
// one parser (ByteRanges). Requests are framed by RequestFraming before the
// HTTP library sees them; only the update form is accepted as a POST body.
class UpdateServer
{
public:
    enum class Lookup { Found, Forbidden, Missing };

    // The root must be an existing directory; requests are logged to `log`,
    // one line each.
    UpdateServer(const std::filesystem::path &root, std::ostream &log);

    // Binds the listening socket; port 0 picks a free one. Returns the bound
    // port, or -1 when the address cannot be bound.
    int bind(const std::string &host, int port);
    // Serves until stop() is called (from any thread). False if not bound.
    bool listen();
    void stop();

    // Maps a client-supplied path, relative to the root, to a regular file
    // below the root. Anything that would leave the root, literally or
    // through a symbolic link, is Forbidden.
    Lookup resolve(const std::string &relative, std::filesystem::path &file) const;

private:
    // An update form (the pre-routing handler refused anything else).
    void handlePost(httplib::Response &response, const httplib::ContentReader &reader);
    void handleGet(const httplib::Request &request, httplib::Response &response);
    // Answers for the responses that the library makes by itself.
    static httplib::Server::HandlerResponse handleRefusal(const httplib::Request &request, httplib::Response &response);
    static void refuseBody(httplib::Response &response);
    // `range` is the request's Range header, empty when there is none.
    void serveFile(const std::string &relative, const std::string &range, httplib::Response &response);
    void logRequest(const httplib::Request &request, const httplib::Response &response);
    // One line: time, client, method, path, the form's fields, status, bytes.
    void writeLog(const std::string &peer, const std::string &method, const std::string &path, const std::string &form,
                  int status, size_t bytes);

    GuardedServer m_server;
    std::filesystem::path m_root;
    std::ostream &m_log;
    std::mutex m_logMutex;
};

#endif // UPDATESERVER_H
