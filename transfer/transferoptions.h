#ifndef TRANSFEROPTIONS_H
#define TRANSFEROPTIONS_H

#include <QString>

// What every transfer of a client shares.
struct TransferOptions
{
    // A transfer fails when the server sends next to nothing (under 1 KiB)
    // for this long: a stalled server, one that never answers, or a drip.
    int stallSeconds = 30;
    // PEM certificates trusted besides the system's (a private CA).
    QString caFile;
};

// Bounds of one transfer, on top of the client's options.
struct TransferLimits
{
    // Also bounds the whole transfer in time, when above 0 (milliseconds).
    int totalMilliseconds = 0;
    // The byte range asked for ("0-" style, without "bytes="); empty: all.
    QByteArray range;
};

#endif // TRANSFEROPTIONS_H
