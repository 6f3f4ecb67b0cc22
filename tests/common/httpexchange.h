#ifndef HTTPEXCHANGE_H
#define HTTPEXCHANGE_H

// Raw HTTP/1.1 over a QTcpSocket, for tests that must see exactly what a
// server answers (status, headers, body bytes) and keep one connection for
// many requests. Bodies are read by Content-Length.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTcpSocket>
#include <QUrlQuery>

struct HttpReply
{
    int status = 0; // 0: no answer
    QByteArray head, body;

    QByteArray header(const QByteArray &name) const
    {
        for (const QByteArray &line : head.split('\n')) {
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        }
        return QByteArray();
    }
};

// Sends the request on the connected socket and reads one answer.
inline HttpReply httpExchange(QTcpSocket &socket, const QByteArray &request, int timeout = 5000)
{
    HttpReply reply;
    socket.write(request);
    QByteArray head;
    while (!head.endsWith("\r\n\r\n") && (socket.bytesAvailable() || socket.waitForReadyRead(timeout)))
        head += socket.read(1);
    reply.status = head.startsWith("HTTP/1.") ? head.mid(9, 3).toInt() : 0;
    reply.head = head;
    const qint64 size = reply.header("Content-Length").toLongLong();
    while (reply.body.size() < size && (socket.bytesAvailable() || socket.waitForReadyRead(timeout)))
        reply.body += socket.read(size - reply.body.size());
    return reply;
}

// One request on a connection of its own.
inline HttpReply httpSend(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", port);
    return socket.waitForConnected(5000) ? httpExchange(socket, request) : HttpReply();
}

// The update form as the updater builds it: fully encoded, "%" and "+" included.
inline QByteArray updateForm(const QString &request, const QString &version = QString())
{
    QUrlQuery query;
    query.addQueryItem("version", QString(version).replace('%', "%25"));
    query.addQueryItem("request", QString(request).replace('%', "%25"));
    return query.query(QUrl::FullyEncoded).replace('+', "%2B").toUtf8();
}

inline QByteArray updatePost(const QByteArray &path, const QByteArray &body, const QByteArray &headers = QByteArray())
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" + headers
           + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Checks a multipart/byteranges body against the bytes of `file`: `ranges`
// is "a-b,c-d" as served. Returns what differs, or an empty text.
inline QString checkByteRangeParts(const HttpReply &reply, const QByteArray &file, const QString &ranges)
{
    const QByteArray type = reply.header("Content-Type");
    const QByteArray prefix = "multipart/byteranges; boundary=";
    if (!type.startsWith(prefix))
        return "Content-Type " + QString::fromLatin1(type);
    const QByteArray delimiter = "\r\n--" + type.mid(prefix.size());
    int at = 0;
    for (const QString &range : ranges.split(',')) {
        const qint64 first = range.section('-', 0, 0).toLongLong(), last = range.section('-', 1, 1).toLongLong();
        const QByteArray partHead = delimiter + "\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes "
                                    + range.toLatin1() + '/' + QByteArray::number(file.size()) + "\r\n\r\n";
        if (reply.body.mid(at, partHead.size()) != partHead)
            return "part head at " + QString::number(at) + ": " + QString::fromLatin1(reply.body.mid(at, 120));
        at += partHead.size();
        if (reply.body.mid(at, last - first + 1) != file.mid(first, last - first + 1))
            return "bytes of part " + range;
        at += last - first + 1;
    }
    return reply.body.mid(at) == delimiter + "--\r\n" ? QString() : "closing delimiter";
}

#endif // HTTPEXCHANGE_H
