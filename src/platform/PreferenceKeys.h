#pragma once

namespace cleftone {

// Keys of the user preferences. They are the names in the per-user settings file, so they must
// not change between releases.

/// String: kOverwriteExistingFile, or the absolute path of the destination folder.
inline constexpr char kDestinationDirectoryKey[] = "destinationDirectory";
/// Bytes of a FolderBookmark of the destination folder.
inline constexpr char kDestinationFolderBookmarkKey[] = "destinationFolderBookmark";
/// Boolean: list files that contain video without holding them back.
inline constexpr char kSuppressVideoFileWarningKey[] = "suppressVideoFileWarning";
/// Boolean: the video confirmation has been shown at least once.
inline constexpr char kVideoConfirmAlertHasBeenShownKey[] = "videoConfirmAlertHasBeenShown";

/// Boolean: an in-place strip first puts the original into the user's Trash.
inline constexpr char kMoveOriginalsToTrashKey[] = "moveOriginalsToTrash";

/// Boolean: an in-place strip leaves a file that carries no metadata as it is (bytes, times and
/// inode), instead of rewriting it.
inline constexpr char kLeaveCleanFilesUntouchedKey[] = "leaveCleanFilesUntouched";

/// Boolean: check for updates on a schedule. Unset until the user was asked (at the second
/// launch) or chose in the settings; nothing is checked before.
inline constexpr char kAutomaticallyChecksForUpdatesKey[] = "automaticallyChecksForUpdates";
/// Boolean: the application was launched before, so the next launch may ask about updates.
inline constexpr char kHasLaunchedBeforeKey[] = "hasLaunchedBefore";

/// The value of kDestinationDirectoryKey that means "replace each input file in place".
inline constexpr char kOverwriteExistingFile[] = "Overwrite Existing File";

} // namespace cleftone
