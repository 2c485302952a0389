#pragma once

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

class QCheckBox;
class QWidget;

namespace cleftone {

class PlatformTools;
class Preferences;

/// The questions about video files that intake held back: a sheet that says how many were
/// skipped and offers "Add Anyway", then a confirmation that the video track will be lost, with
/// "Don't ask again" from its second showing on. Emits confirmed() when the user adds them.
///
/// Threads: main thread only.
class VideoPrompt : public QObject {
    Q_OBJECT

public:
    /// All arguments must outlive this object; the sheets go on `window`.
    VideoPrompt(QWidget* window, PlatformTools& tools, Preferences& preferences,
                QObject* parent = nullptr);

    /// The sheet about held-back video files.
    void promptAboutSkippedVideoFiles(const QStringList& paths);
    /// The confirmation that the video tracks of `paths` will be removed.
    void confirmAddVideoFiles(const QStringList& paths);
    void videoConfirmCheckboxChanged(QCheckBox* sender);
    /// The confirmation's "Add Anyway" button while that sheet is up; null otherwise.
    QPushButton* videoConfirmAddButton() const { return videoConfirmAddButton_; }

signals:
    /// The user confirmed adding `paths` to the list.
    void confirmed(const QStringList& paths);

private:
    QWidget* window_;
    PlatformTools& tools_;
    Preferences& preferences_;
    QPointer<QPushButton> videoConfirmAddButton_;
};

} // namespace cleftone
