#include "runsummary.h"

#include <QRegularExpression>

namespace {

QString orDash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

// Any run of 32 or more hex digits: a digest means nothing to a reader of
// the window, and two of them side by side wrap over many lines.
QString withoutDigests(QString text)
{
    static const QRegularExpression digest(QStringLiteral("\\b[0-9A-Fa-f]{32,}\\b"));
    text.replace(digest, QStringLiteral("\u2026"));
    return text;
}

bool containsAny(const QString &text, std::initializer_list<const char *> words)
{
    for (const char *word : words) {
        if (text.contains(QLatin1String(word), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

// Why the whole release was refused, from the refusal's record.
QString plainRefusal(const QString &reason)
{
    if (reason.contains(QLatin1String("signature missing")))
        return QStringLiteral("it is not signed");
    if (reason.contains(QLatin1String("signature invalid")))
        return QStringLiteral("its signature does not match");
    if (reason.contains(QLatin1String("public key")))
        return QStringLiteral("the publisher's key cannot be used");
    if (reason.contains(QLatin1String("older than the installed version")))
        return QStringLiteral("it is older than the installed version");
    if (reason.contains(QLatin1String("expire")))
        return QStringLiteral("it has expired");
    if (reason.contains(QLatin1String("lists no file or directory")))
        return QStringLiteral("its manifest lists no file (an error page?)");
    if (reason.contains(QLatin1String("unreadable")))
        return QStringLiteral("its manifest cannot be read");
    if (reason.contains(QLatin1String("destination folder missing")))
        return QStringLiteral("the installation folder is missing");
    return withoutDigests(reason);
}

} // namespace

RunSummary::Outcome RunSummary::outcome() const
{
    if (ending.isEmpty())
        return Running;
    if (ending == QLatin1String("refused"))
        return Refused;
    if (ending == QLatin1String("cancelled"))
        return Cancelled;
    if (ending == QLatin1String("not yet offered"))
        return NotOffered;
    return ending == QLatin1String("finished") && errors == 0 ? Done : DoneWithErrors;
}

QString RunSummary::logText() const
{
    return QStringLiteral("run %1: distant version %2, local version before %3; files fetched %4, failed %5, "
                          "deleted %6; %7 bytes written, %8 bytes transferred, %9 bytes saved; %10 s")
        .arg(ending, orDash(distantVersion), orDash(localVersionBefore))
        .arg(filesFetched)
        .arg(filesFailed)
        .arg(entriesDeleted)
        .arg(bytesWritten)
        .arg(bytesTransferred)
        .arg(bytesSaved)
        .arg(seconds, 0, 'f', 2)
        + (peakMemoryMiB >= 0 ? QStringLiteral("; peak memory %1 MiB").arg(peakMemoryMiB) : QString())
        + (repaired.isEmpty() ? QString()
                              : QStringLiteral("; repaired %1: %2%3")
                                    .arg(repaired.size())
                                    .arg(repaired.mid(0, 20).join(QStringLiteral(", ")),
                                         repaired.size() > 20 ? QStringLiteral(", ...") : QString()));
}

Logging::RunHistory::Run RunSummary::historyRun() const
{
    static const char *const outcomes[] = {"running", "done", "done with errors", "refused", "cancelled", "not yet offered"};
    Logging::RunHistory::Run run;
    run.program = QStringLiteral("updater");
    run.fromVersion = localVersionBefore;
    run.toVersion = distantVersion;
    run.outcome = QLatin1String(outcomes[outcome()]);
    if (outcome() == DoneWithErrors && ending != QLatin1String("finished"))
        run.outcome += QStringLiteral(" (%1)").arg(ending);
    run.fetched = filesFetched;
    run.failed = filesFailed;
    run.deleted = entriesDeleted;
    run.bytes = bytesTransferred;
    run.seconds = seconds;
    for (const Logging::RunHistory::Failure &failure : failures)
        run.failures.append({failure.name.isEmpty() ? QStringLiteral("(release)") : failure.name,
                             failure.name.isEmpty() ? plainRefusal(failure.reason) : plainReason(failure.reason)});
    return run;
}

QString RunSummary::plainReason(const QString &reason)
{
    if (containsAny(reason, {"SHA-1 mismatch", "SHA-256 mismatch", "size mismatch", "body is longer",
                             "server announces", "does not match", "sent the range"}))
        return QStringLiteral("could not be verified: the download was damaged");
    if (reason.contains(QLatin1String("unsafe entry path")))
        return QStringLiteral("was not installed: its path leads outside the installation");
    if (reason.contains(QLatin1String("no SHA-256")))
        return QStringLiteral("was not installed: the signed release gives no SHA-256 for it");
    if (containsAny(reason, {"cancel"}))
        return QStringLiteral("was not installed: the update was cancelled");
    if (containsAny(reason, {"No space left"}))
        return QStringLiteral("could not be written: the disk is full");
    if (containsAny(reason, {"Permission denied", "Access is denied", "Read-only file system"}))
        return QStringLiteral("could not be written: permission denied");
    if (containsAny(reason, {"no data for", "bytes in", "timed out", "timeout"}))
        return QStringLiteral("could not be downloaded: the server stopped sending");
    if (containsAny(reason, {"Connection refused", "Could not resolve", "Couldn't connect", "Failed to connect"}))
        return QStringLiteral("could not be downloaded: the server cannot be reached");
    static const QRegularExpression http(QStringLiteral("^HTTP (\\d+)"));
    const QRegularExpressionMatch status = http.match(reason);
    if (status.hasMatch()) {
        const int code = status.captured(1).toInt();
        if (code == 404 || code == 410)
            return QStringLiteral("could not be downloaded: the server does not have it (HTTP %1)").arg(code);
        return QStringLiteral("could not be downloaded: the server answered HTTP %1").arg(code);
    }
    if (reason.isEmpty())
        return QStringLiteral("could not be installed");
    return QStringLiteral("could not be installed: ") + withoutDigests(reason);
}

QString RunSummary::plainFailure(const QString &entry, const QString &reason)
{
    if (entry.isEmpty())
        return QStringLiteral("The release was refused: ") + plainRefusal(reason) + QLatin1Char('.');
    return entry + QLatin1Char(' ') + plainReason(reason);
}
