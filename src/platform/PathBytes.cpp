#include "platform/PathBytes.h"

#include <QStringDecoder>

#include <cstdlib>

namespace cleftone {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscapedByte(char16_t unit)
{
    return unit >= 0xDC80 && unit <= 0xDCFF;
}

// The length of the valid UTF-8 sequence at `at`, or 0.
int validSequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) {
        return std::uint8_t(bytes.at(i));
    };
    const std::uint8_t lead = byte(at);
    int length = 0;
    char32_t minimum = 0;
    char32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size())
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and code points past Unicode are not valid UTF-8.
    if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

QByteArray pathBytes(const QString& path)
{
    bool escaped = false;
    for (const QChar c : path)
        escaped = escaped || isEscapedByte(c.unicode());
    if (!escaped)
        return path.toUtf8();

    QByteArray bytes;
    bytes.reserve(path.size() * 3);
    qsizetype runStart = 0;
    for (qsizetype i = 0; i <= path.size(); ++i) {
        // A low surrogate right after a high one is half of a real character, not an escape.
        const bool escape = i < path.size() && isEscapedByte(path.at(i).unicode()) &&
                            !(i > 0 && path.at(i - 1).isHighSurrogate());
        if (i < path.size() && !escape)
            continue;
        bytes += QStringView(path).mid(runStart, i - runStart).toUtf8();
        if (escape)
            bytes += char(path.at(i).unicode() - kEscapeBase);
        runStart = i + 1;
    }
    return bytes;
}

QString pathFromBytes(const QByteArray& bytes)
{
    QStringDecoder strict(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = strict.decode(bytes);
    if (!strict.hasError())
        return text;

    text.clear();
    text.reserve(bytes.size());
    qsizetype runStart = 0;
    qsizetype i = 0;
    while (i < bytes.size()) {
        const int length = validSequenceLength(bytes, i);
        if (length > 0) {
            i += length;
            continue;
        }
        text += QString::fromUtf8(bytes.constData() + runStart, i - runStart);
        text += QChar(char16_t(kEscapeBase + std::uint8_t(bytes.at(i))));
        runStart = ++i;
    }
    text += QString::fromUtf8(bytes.constData() + runStart, bytes.size() - runStart);
    return text;
}

QString canonicalPath(const QString& path)
{
    char* resolved = ::realpath(pathBytes(path).constData(), nullptr);
    if (!resolved)
        return QString();
    const QString canonical = pathFromBytes(QByteArray(resolved));
    std::free(resolved);
    return canonical;
}

QString displayPath(const QString& path)
{
    QString shown = path;
    for (qsizetype i = 0; i < shown.size(); ++i) {
        const char16_t unit = shown.at(i).unicode();
        if ((isEscapedByte(unit) && !(i > 0 && shown.at(i - 1).isHighSurrogate())) || unit < 0x20 ||
            unit == 0x7F)
            shown[i] = QChar::ReplacementCharacter;
    }
    return shown;
}

} // namespace cleftone
