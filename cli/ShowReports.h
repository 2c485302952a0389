#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace cleftone {

struct MetadataReport;

/// `path` as JSON text: unchanged when it is valid UTF-8. Otherwise each byte that is not part
/// of valid UTF-8 becomes the four characters \xHH (upper-case hexadecimal) and each backslash
/// becomes two, so that the bytes can be recovered; `*escaped` says which of the two it is.
QString jsonPathText(const QString& path, bool* escaped);

/// One file's object of `cleftone-strip --show --json`: "path" (and "pathEscaped": true when
/// jsonPathText() escaped it), "readable" (with "error" when false), "container", "codec",
/// "tags" [{key, value}], "pictures" [{mimeType, format, description, bytes, width, height}],
/// "chapters" [{start, title}], "blocks" [{kind, name, bytes}] (bytes null when not known),
/// "metadataBytes", and "kept" [{kind, name, bytes}]: metadata stored in the codec's own blocks
/// that a strip leaves in place, not counted in metadataBytes.
QJsonObject reportObject(const QString& path, const MetadataReport& report);

/// --show: inspects each file and prints what a strip would remove to `out`, as indented lines
/// under each path ("No metadata" when nothing, then a line for each thing a strip keeps), or
/// with `json` as one JSON array of reportObject()s. Changes nothing.
/// Returns false when a file could not be read as audio.
///
/// Threads: the calling thread; it reads the files in order.
bool showReports(const QStringList& files, bool json, FILE* out);

} // namespace cleftone
