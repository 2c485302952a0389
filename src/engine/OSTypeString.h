#pragma once

#include <QString>

#include <cstdint>

namespace cleftone {

/// Renders a four-character code (container type, property code or status) for messages:
/// "WAVE", "typ?". When any byte is not printable ASCII the whole code is rendered as its
/// signed 32-bit decimal value ("-50", "0"), so a message always shows one readable token.
///
/// Threads: any.
QString stringForOSType(std::uint32_t code);

} // namespace cleftone
