#pragma once

#include <QByteArrayView>
#include <QString>

// The list file is Windows-1250 text. It is decoded from a table of our own because a Qt built
// without ICU (the usual build on Windows) has no converter for it, and a quiet fallback to
// Latin-1 would turn "Księgowość" into a name that matches no installed component.

// The characters of the bytes 0x80 to 0xFF. The five bytes that Windows-1250 leaves undefined
// (0x81, 0x83, 0x88, 0x90, 0x98) give U+FFFD rather than invisible C1 control characters.
extern const char16_t windows1250High[128];

inline char16_t windows1250ToUnicode(uchar byte)
{
    return byte < 0x80 ? char16_t(byte) : windows1250High[byte - 0x80];
}

QString decodeWindows1250(QByteArrayView bytes);
