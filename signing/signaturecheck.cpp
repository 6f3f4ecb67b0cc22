#include "signaturecheck.h"

QString signatureCheckText(SignatureCheck check)
{
    switch (check) {
    case SignatureCheck::Valid:
        return QStringLiteral("signature valid");
    case SignatureCheck::Missing:
        return QStringLiteral("signature missing");
    case SignatureCheck::Malformed:
    case SignatureCheck::Invalid:
        break;
    }
    return QStringLiteral("signature invalid");
}
