#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

// A real HTTP server on 127.0.0.1 for the update tests, run in a thread of
// the test. Every POST is recorded as the server received it; what it
// answers is decided per test by a handler.

#include <httplib.h>

#include <QByteArray>
#include <QMap>
#include <QString>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class HttpTestServer
{
public:
    struct Received
    {
        QByteArray body, contentType;
        QByteArray request; // the "request" field as a form decoder reads it
    };
    using Handler = std::function<void(const Received &, httplib::Response &)>;

    HttpTestServer()
    {
        server.Post("/update", [this](const httplib::Request &req, httplib::Response &res) {
            const Received r{QByteArray::fromStdString(req.body),
                             QByteArray::fromStdString(req.get_header_value("Content-Type")),
                             QByteArray::fromStdString(req.get_param_value("request"))};
            Handler h;
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(r);
                h = handler;
            }
            if (h)
                h(r, res);
        });
        // A client that is never destroyed (the window keeps its manager for
        // good) holds its connections open; the server's shutdown waits for
        // these timeouts, so keep them short.
        server.set_keep_alive_timeout(1);
        server.set_read_timeout(1, 0);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~HttpTestServer()
    {
        server.stop();
        thread.join();
    }

    QString url() const { return QStringLiteral("http://127.0.0.1:%1/update").arg(port); }
    void setHandler(Handler h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handler = std::move(h);
    }
    // Answers each file request with the bytes stored under its "request"
    // value (404 for unknown names), the close request with "OK".
    void serveFiles(const QMap<QByteArray, QByteArray> &files)
    {
        setHandler([files](const Received &r, httplib::Response &res) {
            if (r.request == "CLOSE" || files.contains(r.request))
                res.set_content(r.request == "CLOSE" ? "OK" : files.value(r.request).toStdString(), "text/plain");
            else
                res.status = 404;
        });
    }
    // Sends half of body and then drops the connection.
    static void closeMidway(httplib::Response &res, const QByteArray &body)
    {
        const std::string data = body.toStdString();
        res.set_content_provider(data.size(), "application/octet-stream", [data](size_t offset, size_t, httplib::DataSink &sink) {
            if (offset == 0)
                sink.write(data.data(), data.size() / 2);
            return false;
        });
    }
    std::vector<Received> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }

private:
    httplib::Server server;
    std::thread thread;
    int port = 0;
    mutable std::mutex mutex;
    std::vector<Received> received;
    Handler handler;
};

#endif // HTTPTESTSERVER_H
