#include "engine/OSTypeString.h"

namespace cleftone {

QString stringForOSType(std::uint32_t code)
{
    char text[4];
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(code >> (24 - 8 * i));
        // Control characters or half of a UTF-8 sequence would garble a log line; the number
        // is what the platform's own tools print for such statuses (errno-style values).
        if (byte < 0x20 || byte > 0x7E) {
            return QString::number(static_cast<std::int32_t>(code));
        }
        text[i] = static_cast<char>(byte);
    }
    return QString::fromLatin1(text, 4);
}

} // namespace cleftone
