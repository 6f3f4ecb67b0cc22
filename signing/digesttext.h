#ifndef DIGESTTEXT_H
#define DIGESTTEXT_H

#include <QString>

// Whether text is a SHA-256 digest as signed release files write it: 64
// lower-case hexadecimal digits, nothing else.
bool isSha256Hex(const QString &text);

#endif // DIGESTTEXT_H
