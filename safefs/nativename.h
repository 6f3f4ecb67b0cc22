#ifndef NATIVENAME_H
#define NATIVENAME_H

#include "nativetext.h"
#include "result.h"

#include <QString>

// Between Qt's strings and the platform layer's names, paths and results.
class NativeName
{
public:
    static platform::NativeText::String of(const QString &text);
    static QString toQString(const platform::NativeText::String &text);
    // The failure's text; empty on success.
    static QString errorOf(const platform::Result &result);
};

#endif // NATIVENAME_H
