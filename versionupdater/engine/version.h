#ifndef VERSION_H
#define VERSION_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <array>

// A four-part version "a.b.c.d" of signed 32-bit numbers. A first part of
// -1 marks a version that was never set.
class Version
{
public:
    Version();
    Version(qint32 major, qint32 minor, qint32 patch, qint32 build);

    // Exactly four parts separated by dots; a part that is not a number
    // counts as 0. Returns false (and leaves *version alone) otherwise.
    static bool parse(const QString &text, Version *version);

    // One text for each part of a four-part `text` that parse() reads other
    // than it is written: empty, signed, padded (blanks, leading zeros),
    // out of range or not a number, and the value it reads as.
    static QStringList partWarnings(const QString &text);

    // Compared part by part from the first; equal versions are not newer.
    bool isNewerThan(const Version &other) const;
    bool isSet() const { return m_parts[0] != -1; }
    qint32 part(int index) const { return m_parts.at(size_t(index)); }
    QString toString() const;

    bool operator==(const Version &other) const { return m_parts == other.m_parts; }
    bool operator!=(const Version &other) const { return m_parts != other.m_parts; }

private:
    std::array<qint32, 4> m_parts;
};

#endif // VERSION_H
