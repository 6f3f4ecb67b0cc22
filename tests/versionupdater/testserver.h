#ifndef VERSIONUPDATER_TESTSERVER_H
#define VERSIONUPDATER_TESTSERVER_H

#include <httplib.h>

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QString>

#include <string>
#include <thread>

// A real HTTP server on 127.0.0.1 in a thread of the test. Files are
// served from an in-memory map; unknown paths answer 404 and "/cut/..."
// paths announce their size, send half of it and drop the connection.
class TestServer
{
public:
    TestServer()
    {
        m_server.Get(".*", [this](const httplib::Request &request, httplib::Response &response) {
            serve(request, response);
        });
        // One request per connection: a kept-alive connection would hold
        // stop() until its idle timeout.
        m_server.set_keep_alive_max_count(1);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        // stop() needs the accept loop to be running.
        while (!m_server.is_running())
            std::this_thread::yield();
    }
    ~TestServer()
    {
        m_server.stop();
        m_thread.join();
    }

    void setFile(const QString &path, const QByteArray &body)
    {
        QMutexLocker lock(&m_mutex);
        m_files.insert(path, body);
    }
    int hits(const QString &path)
    {
        QMutexLocker lock(&m_mutex);
        return m_hits.value(path);
    }
    QString url(const QString &path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }

private:
    void serve(const httplib::Request &request, httplib::Response &response)
    {
        const QString path = QString::fromStdString(request.path);
        QMutexLocker lock(&m_mutex);
        ++m_hits[path];
        const QByteArray body = m_files.value(path);
        if (path.startsWith(QLatin1String("/cut/"))) {
            const std::string half(size_t(body.size() / 2), 'x');
            response.set_content_provider(size_t(body.size()), "application/octet-stream",
                                          [half](size_t offset, size_t, httplib::DataSink &sink) {
                                              if (offset == 0)
                                                  sink.write(half.data(), half.size());
                                              return offset == 0;
                                          });
        } else if (!m_files.contains(path)) {
            response.status = 404;
            response.set_content("not here", "text/plain");
        } else {
            response.set_content(body.toStdString(), "application/octet-stream");
        }
    }

    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    QMutex m_mutex;
    QMap<QString, QByteArray> m_files;
    QMap<QString, int> m_hits;
};

#endif // VERSIONUPDATER_TESTSERVER_H
