// The few places where Qt 5 and Qt 6 differ for this library, so that a file one build
// writes reads back the same in the other. Everything else compiles unchanged against either.
#pragma once

#include <QSettings>
#include <QTextStream>
#include <QtGlobal>

namespace qtcompat
{

// An INI file (QSettings::IniFormat). Qt 6 writes non-ASCII text as raw UTF-8 and reads
// both that and Qt 5's escapes ("\xe9", a character outside the BMP as two). Qt 5 writes
// the escapes and, without a codec, reads raw bytes as Latin-1. So on Qt 5 the file is read
// as UTF-8, but written in Qt 5's escaped form as before: its UTF-8 codec would drop the
// characters outside the BMP. Either build reads the other's file as it was written.
class IniSettings : public QSettings
{
public:
    explicit IniSettings(const QString &path) : QSettings(path, QSettings::IniFormat)
    {
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
        setIniCodec("UTF-8");
#endif
    }
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // QSettings writes pending values in its own destructor, which runs after this one.
    ~IniSettings() override
    {
        setIniCodec(static_cast<QTextCodec *>(nullptr));
    }
#endif
};

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
