#ifndef TESTHTTPSERVER_H
#define TESTHTTPSERVER_H

// A real HTTP server on 127.0.0.1 in a thread of the test, shared by every
// test that needs one. POST /update: each request is recorded as received
// and answered by the test's handler. GET: files set with setFile, 404 for
// unknown paths; "/cut/..." paths send half of the body and drop the
// connection.

#include <httplib.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QMap>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class TestServer
{
public:
    struct Received
    {
        QByteArray body, contentType;
        QByteArray request; // the "request" field as a form decoder reads it
        QByteArray range, acceptEncoding; // those request headers
        qint64 ms = 0; // when it arrived, from the server's start
    };
    using Handler = std::function<void(const Received &, httplib::Response &)>;

    TestServer()
    {
        server.Post("/update", [this](const httplib::Request &req, httplib::Response &res) {
            const Received r{QByteArray::fromStdString(req.body), QByteArray::fromStdString(req.get_header_value("Content-Type")),
                             QByteArray::fromStdString(req.get_param_value("request")),
                             QByteArray::fromStdString(req.get_header_value("Range")),
                             QByteArray::fromStdString(req.get_header_value("Accept-Encoding")), clock.elapsed()};
            std::unique_lock<std::mutex> lock(mutex);
            received.push_back(r);
            const Handler h = handler;
            lock.unlock();
            if (h)
                h(r, res);
            // Ranges are the handler's to answer: the library's own range
            // handling is not applied to what it sends.
            const_cast<httplib::Request &>(req).ranges.clear();
        });
        server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
            const QString path = QString::fromStdString(req.path);
            std::lock_guard<std::mutex> lock(mutex);
            ++hitCount[path];
            if (path.startsWith(QLatin1String("/cut/")))
                closeMidway(res, files.value(path));
            else if (files.contains(path))
                res.set_content(files.value(path).toStdString(), "application/octet-stream");
            else
                res.status = 404;
        });
        // Clients that are never destroyed hold their connections open and
        // stop() waits for them: one request per connection, short timeouts.
        server.set_keep_alive_max_count(1);
        server.set_keep_alive_timeout(1);
        server.set_read_timeout(1, 0);
        clock.start();
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) // stop() needs the accept loop running
            std::this_thread::yield();
    }
    ~TestServer()
    {
        stopRequested = true;
        server.stop();
        thread.join();
    }

    QString url(const QString &path = QStringLiteral("/update")) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
    }
    void setHandler(Handler h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handler = std::move(h);
    }
    // POST: answers each file request with the bytes stored under its
    // "request" value (404 for unknown names), the close request with "OK".
    void serveFiles(const QMap<QByteArray, QByteArray> &posted)
    {
        setHandler([posted](const Received &r, httplib::Response &res) {
            if (r.request == "CLOSE" || posted.contains(r.request))
                res.set_content(r.request == "CLOSE" ? "OK" : posted.value(r.request).toStdString(), "text/plain");
            else
                res.status = 404;
        });
    }
    void setFile(const QString &path, const QByteArray &body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        files.insert(path, body);
    }
    int hits(const QString &path) const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return hitCount.value(path);
    }
    std::vector<Received> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    // Announces the size of body, sends half of it and drops the connection.
    static void closeMidway(httplib::Response &res, const QByteArray &body)
    {
        const std::string data = body.toStdString();
        res.set_content_provider(data.size(), "application/octet-stream", [data](size_t offset, size_t, httplib::DataSink &sink) {
            if (offset == 0)
                sink.write(data.data(), data.size() / 2);
            return false;
        });
    }

    // Lets a handler that waits on purpose notice that the server stops.
    bool stopping() const { return stopRequested; }

private:
    httplib::Server server;
    QElapsedTimer clock;
    std::atomic<bool> stopRequested{false};
    std::thread thread;
    int port = 0;
    mutable std::mutex mutex;
    std::vector<Received> received;
    Handler handler;
    QMap<QString, QByteArray> files;
    QMap<QString, int> hitCount;
};

#endif // TESTHTTPSERVER_H
