#ifndef SCRIPTEDSERVER_H
#define SCRIPTEDSERVER_H

// A GET server on 127.0.0.1 (plain or TLS) whose answers a test scripts:
// the files it holds, or a handler for the ways a server can misbehave
// (stall, drip, never end, compress: misbehave()). Every request is noted with the time
// it arrived. Waits inside handlers end when the server stops.

#include <httplib.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedServer
{
public:
    struct Request
    {
        QString path;
        QByteArray acceptEncoding;
        qint64 ms; // from the server's start
    };
    // Returns false to fall back to the files.
    using Handler = std::function<bool(const QString &path, httplib::Response &)>;

    // With a certificate and its key the server speaks TLS.
    explicit ScriptedServer(const QString &certificate = QString(), const QString &key = QString())
        : server(certificate.isEmpty() ? std::make_unique<httplib::Server>()
                                       : std::make_unique<httplib::SSLServer>(certificate.toLocal8Bit().constData(),
                                                                              key.toLocal8Bit().constData())),
          scheme(certificate.isEmpty() ? "http" : "https")
    {
        server->Get(".*", [this](const httplib::Request &req, httplib::Response &res) {
            const QString path = QString::fromStdString(req.path);
            std::unique_lock<std::mutex> lock(mutex);
            requests.push_back({path, QByteArray::fromStdString(req.get_header_value("Accept-Encoding")), clock.elapsed()});
            const Handler h = handler;
            const bool known = files.contains(path);
            const QByteArray body = files.value(path);
            lock.unlock();
            if (h && h(path, res))
                return;
            if (known)
                res.set_content(body.toStdString(), "application/octet-stream");
            else
                res.status = 404;
        });
        server->set_keep_alive_max_count(1);
        server->set_read_timeout(1, 0);
        clock.start();
        port = server->bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running())
            std::this_thread::yield();
    }
    ~ScriptedServer()
    {
        stopRequested = true;
        server->stop();
        thread.join();
    }

    QString url(const QString &path) const { return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path); }
    void setFile(const QString &path, const QByteArray &body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        files.insert(path, body);
    }
    void setHandler(Handler h)
    {
        std::lock_guard<std::mutex> lock(mutex);
        handler = std::move(h);
    }
    std::vector<Request> received() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    int hits(const QString &path) const
    {
        const auto all = received();
        return int(std::count_if(all.begin(), all.end(), [&](const Request &r) { return r.path == path; }));
    }
    // Sleeps up to ms, in steps, and says whether the server goes on.
    bool pause(int ms) const
    {
        for (int waited = 0; waited < ms && !stopRequested; waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return !stopRequested;
    }

    // Answers as a misbehaving server would; false for a kind it does not
    // know. "silent": nothing until the server stops; "endless": a body
    // without length or end; "announced": a length of `size`, 4 bytes at a
    // time; "gzip": `body` marked as compressed; "halfway": 4 KiB of 64, then
    // silence; "drip": a byte a second.
    bool misbehave(const QString &kind, httplib::Response &res, const QByteArray &body = QByteArray(), size_t size = 0) const
    {
        static const std::string block(65536, 'e');
        const auto type = "application/octet-stream";
        if (kind == QLatin1String("silent"))
            pause(30000), res.set_content("late", type);
        else if (kind == QLatin1String("endless"))
            res.set_chunked_content_provider(type, [](size_t, httplib::DataSink &sink) { return sink.write(block.data(), block.size()); });
        else if (kind == QLatin1String("announced"))
            res.set_content_provider(size, type, [](size_t, size_t, httplib::DataSink &sink) { return sink.write("aaaa", 4); });
        else if (kind == QLatin1String("gzip"))
            res.set_header("Content-Encoding", "gzip"), res.set_content(body.toStdString(), type);
        else if (kind == QLatin1String("halfway") || kind == QLatin1String("drip"))
            res.set_content_provider(block.size(), type, [this, kind](size_t offset, size_t, httplib::DataSink &sink) {
                if (kind == QLatin1String("halfway") && offset == 0)
                    return sink.write(block.data(), 4096);
                return pause(kind == QLatin1String("drip") ? 1000 : 30000) && sink.write(block.data(), 1);
            });
        else
            return false;
        return true;
    }

private:
    std::unique_ptr<httplib::Server> server;
    QString scheme;
    std::thread thread;
    QElapsedTimer clock;
    std::atomic<bool> stopRequested{false};
    int port = 0;
    mutable std::mutex mutex;
    std::vector<Request> requests;
    QMap<QString, QByteArray> files;
    Handler handler;
};

inline QString sha256Of(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// Runs a shell command; its standard output.
inline QByteArray runShell(const QString &command)
{
    QProcess shell;
    shell.start(QStringLiteral("sh"), {QStringLiteral("-c"), command});
    shell.waitForFinished(60000);
    return shell.readAllStandardOutput();
}

#endif // SCRIPTEDSERVER_H
