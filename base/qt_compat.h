// The few places where Qt 5 and Qt 6 differ for this library, so that both builds write
// and read the same bytes. Everything else compiles unchanged against either.
#pragma once

#include <QSettings>
#include <QTextStream>
#include <QtGlobal>

namespace qtcompat
{

// INI files: Qt 6 reads and writes them as UTF-8. Qt 5 without a codec writes every
// non-ASCII character as an escape ("\xe9") and reads raw bytes as Latin-1, so a Qt 6 file
// would read back garbled. With the UTF-8 codec Qt 5 writes the same bytes as Qt 6, and
// both still read the escaped form older Qt 5 builds wrote.
inline void useUtf8(QSettings &settings)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    settings.setIniCodec("UTF-8");
#else
    Q_UNUSED(settings);
#endif
}

// Text streams: Qt 6 always uses UTF-8. Qt 5 defaults to the locale's codec, which is UTF-8
// under C and UTF-8 locales but not under a legacy 8-bit one; set it so a file written by
// either build reads back the same in the other.
inline void useUtf8(QTextStream &stream)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    stream.setCodec("UTF-8");
#else
    Q_UNUSED(stream);
#endif
}

} // namespace qtcompat
