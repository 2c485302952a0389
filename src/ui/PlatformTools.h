#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QDialog;
class QUrl;
class QWidget;

namespace cleftone {

/// What an alert or a sheet shows and which answers it offers.
struct AlertSpec {
    enum class Style { Warning, Informational, Critical };

    Style style = Style::Warning;
    /// The bold first line.
    QString messageText;
    /// The smaller explanation below it; may be empty.
    QString informativeText;
    /// Button titles, first to last; the answer is an index into this list. No titles means
    /// one "OK" button.
    QStringList buttonTitles;
    /// Index of the button that Return presses.
    int defaultButton = 0;
    /// A checkbox below the text ("Do not show this again"); none when empty.
    QString checkboxText;
    /// The checkbox's state when the alert opens.
    bool checkboxChecked = false;
};

/// A panel that chooses one folder.
struct FolderPanelSpec {
    /// Text shown above the file list; none when empty.
    QString message;
    /// Title of the confirming button; the toolkit's own when empty.
    QString prompt;
    /// Folder shown first; the toolkit's choice when empty.
    QString directory;
};

/// A panel that chooses any number of files and folders together.
struct OpenPanelSpec {
    QString title;
    /// Title of the confirming button; the toolkit's own when empty.
    QString prompt;
};

/// Every modal prompt, file panel and desktop service the windows use goes through here, so
/// that tests can answer them from a script instead of blocking on a real dialog.
///
/// Threads: main thread only.
class PlatformTools {
public:
    virtual ~PlatformTools();

    /// The process's real implementation (a QtPlatformTools), made on first call.
    static PlatformTools& defaultTools();

    /// Application-modal alert; returns the index of the pressed button. The checkbox's final
    /// state goes to `checkboxChecked` when it is given.
    virtual int runAlert(const AlertSpec& spec, bool* checkboxChecked = nullptr) = 0;

    /// Window-modal sheet on `window`; returns at once. `done` runs later on the main thread
    /// with the pressed button's index and the checkbox's state.
    virtual void beginSheet(QWidget* window, const AlertSpec& spec,
                            std::function<void(int button, bool checkboxChecked)> done) = 0;

    /// Asks for a file to save to. The returned path always ends in ".`requiredExtension`";
    /// an empty text means the user cancelled.
    virtual QString runSavePanel(QWidget* parent, const QString& title,
                                 const QString& suggestedName,
                                 const QString& requiredExtension) = 0;

    /// Application-modal folder panel, single selection, creating folders allowed. Returns the
    /// chosen folder's path; empty when the user cancelled.
    virtual QString runFolderPanel(QWidget* parent, const FolderPanelSpec& spec) = 0;

    /// Window-modal panel on `window` choosing files and folders together, several at once;
    /// returns at once. `done` runs later on the main thread with the chosen paths in the
    /// panel's order, or an empty list when the user cancelled.
    virtual void beginOpenPanel(QWidget* window, const OpenPanelSpec& spec,
                                std::function<void(const QStringList& paths)> done) = 0;

    /// Shows a dialog the caller has built as a window-modal sheet on `window`; returns at once.
    /// `done` runs later on the main thread with the dialog's result code. The dialog is deleted
    /// after `done` has returned.
    virtual void beginDialogSheet(QWidget* window, QDialog* dialog,
                                  std::function<void(int result)> done) = 0;

    /// Hands `url` to the desktop (mail handler, browser); false when nothing took it.
    virtual bool openUrl(const QUrl& url) = 0;

    virtual void beep() = 0;

    /// Replaces the clipboard's contents with one plain-text item.
    virtual void setClipboardText(const QString& text) = 0;

    /// `path` with ".`extension`" appended unless it already ends in it (case-insensitively).
    /// Empty stays empty.
    static QString withRequiredExtension(const QString& path, const QString& extension);
};

/// PlatformTools on Qt's own dialogs and services. Needs a QApplication.
class QtPlatformTools : public PlatformTools {
public:
    int runAlert(const AlertSpec& spec, bool* checkboxChecked = nullptr) override;
    void beginSheet(QWidget* window, const AlertSpec& spec,
                    std::function<void(int button, bool checkboxChecked)> done) override;
    QString runSavePanel(QWidget* parent, const QString& title, const QString& suggestedName,
                         const QString& requiredExtension) override;
    QString runFolderPanel(QWidget* parent, const FolderPanelSpec& spec) override;
    void beginOpenPanel(QWidget* window, const OpenPanelSpec& spec,
                        std::function<void(const QStringList& paths)> done) override;
    void beginDialogSheet(QWidget* window, QDialog* dialog,
                          std::function<void(int result)> done) override;
    bool openUrl(const QUrl& url) override;
    void beep() override;
    void setClipboardText(const QString& text) override;
};

} // namespace cleftone
