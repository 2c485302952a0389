#pragma once

#include <QObject>
#include <QStringList>

class QBoxLayout;
class QLabel;
class QPushButton;
class QWidget;

namespace cleftone {

class PlatformTools;

/// The line under the file list about the files the last drop, open or Add Files left out
/// because they look like audio or video but Cleftone cannot strip them: "Left out 3 audio
/// files that Cleftone cannot strip.", with "Show Files…", which lists each with its kind in a
/// sheet. Hidden while there is nothing to say.
///
/// Threads: main thread only.
class LeftOutReport : public QObject {
    Q_OBJECT

public:
    /// Puts the line into `layout` at `index`; the sheet goes on `window`. Both, and `tools`,
    /// must outlive this object.
    LeftOutReport(QBoxLayout* layout, int index, QWidget* window, PlatformTools& tools,
                  QObject* parent = nullptr);

    /// Shows the files of the walk that just ended; hides the line when there are none.
    void setPaths(const QStringList& paths);
    QStringList paths() const { return paths_; }
    /// The sheet that lists the files with their kind.
    void showFiles();

    QWidget* panel() const { return panel_; }
    QLabel* label() const { return label_; }
    QPushButton* button() const { return button_; }

private:
    QWidget* window_;
    PlatformTools& tools_;
    QWidget* panel_;
    QLabel* label_;
    QPushButton* button_;
    QStringList paths_;
};

} // namespace cleftone
