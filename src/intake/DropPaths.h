#pragma once

#include <QByteArray>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QMimeData;
QT_END_NAMESPACE

namespace cleftone {

/// MIME format name under which a music library offers dragged tracks: an XML property list
/// whose top-level "Tracks" collection holds one record per track, each with a "Location" URL.
inline constexpr char kMusicLibraryPasteboardType[] = "CorePasteboardFlavorType 0x6974756E";

/// The drop formats the file table accepts, most preferred first: "text/uri-list", then the
/// music-library format. Threads: any.
QStringList dropTypes();

/// The absolute paths a drop carries, in drag order. When the data offers URLs only those are
/// read, and of them only the local file URLs (a dragged web link gives nothing); otherwise the
/// music-library tracks are read; otherwise the list is empty. Paths are percent-decoded and
/// carry no trailing slash. Threads: any that may read `data`; for a drop that is the main
/// thread, while the drop is being handled.
QStringList pathsFromMimeData(const QMimeData& data);

/// The local file paths of the tracks in a music-library XML property list, in the order of
/// its "Tracks" collection (a dictionary of track records, or an array of them). Tracks whose
/// "Location" is missing, not a string, not a well-formed URL or not a local file URL are
/// skipped. A document that is not a well-formed property list, nests deeper than a sane limit
/// or declares entities gives an empty list. Threads: any (a pure function of its argument).
QStringList pathsFromMusicLibraryPropertyList(const QByteArray& xml);

} // namespace cleftone
