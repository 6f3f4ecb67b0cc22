// Sequential form POSTs by Qt's network stack over one kept-alive
// connection, as a Qt client would send update requests: Qt writes the
// head and the body of a POST apart, so a server that acknowledges late
// costs a delayed-acknowledgement wait per request.
// Usage: qtpost URL FORM COUNT  -> prints one line: "<median ms> <p90 ms>"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: qtpost URL FORM COUNT\n");
        return 2;
    }
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(args[1])};
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
    const QByteArray form = args[2].toUtf8();
    const int count = args[3].toInt();
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        QNetworkReply *reply = manager.post(request, form);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        if (!reply->isFinished() || reply->error() != QNetworkReply::NoError) {
            std::fprintf(stderr, "qtpost: request %d failed: %s\n", i, qPrintable(reply->errorString()));
            return 1;
        }
        reply->readAll();
        reply->deleteLater();
        times.push_back(clock.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f %.3f\n", times[times.size() / 2], times[times.size() * 9 / 10]);
    return 0;
}
