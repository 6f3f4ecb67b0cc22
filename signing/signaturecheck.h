#ifndef SIGNATURECHECK_H
#define SIGNATURECHECK_H

#include <QString>

// The outcome of checking a detached signature against the bytes it signs.
enum class SignatureCheck {
    Valid,     // made by the key's owner over exactly these bytes
    Missing,   // no signature file, or an empty one
    Malformed, // not one line of base64 holding a 64-byte signature
    Invalid,   // well-formed, but not a signature of these bytes by this key
};

// "signature valid", "signature missing", or "signature invalid" for both
// Malformed and Invalid: for the end user the two mean the same.
QString signatureCheckText(SignatureCheck check);

#endif // SIGNATURECHECK_H
