#include "ui/PlatformTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QList>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTreeView>
#include <QUrl>

namespace cleftone {

PlatformTools::~PlatformTools() = default;

PlatformTools& PlatformTools::defaultTools()
{
    static QtPlatformTools tools;
    return tools;
}

QString PlatformTools::withRequiredExtension(const QString& path, const QString& extension)
{
    if (path.isEmpty() || extension.isEmpty())
        return path;
    if (QFileInfo(path).suffix().compare(extension, Qt::CaseInsensitive) == 0)
        return path;
    return path + QLatin1Char('.') + extension;
}

namespace {

QMessageBox::Icon iconFor(AlertSpec::Style style)
{
    switch (style) {
    case AlertSpec::Style::Informational:
        return QMessageBox::Information;
    case AlertSpec::Style::Critical:
        return QMessageBox::Critical;
    case AlertSpec::Style::Warning:
        break;
    }
    return QMessageBox::Warning;
}

/// Builds the box and returns its buttons in the order of the spec's titles, so that the
/// pressed button can be answered as an index whatever order the style lays them out in.
QList<QAbstractButton*> setUpBox(QMessageBox& box, const AlertSpec& spec)
{
    box.setIcon(iconFor(spec.style));
    box.setText(spec.messageText);
    box.setInformativeText(spec.informativeText);
    QStringList titles = spec.buttonTitles;
    if (titles.isEmpty())
        titles << QStringLiteral("OK");
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        const bool isCancel = titles.at(i) == QLatin1String("Cancel");
        QPushButton* button = box.addButton(
            titles.at(i), i == 0 ? QMessageBox::AcceptRole
                                 : (isCancel ? QMessageBox::RejectRole : QMessageBox::ActionRole));
        if (isCancel)
            box.setEscapeButton(button);
        buttons.append(button);
    }
    if (spec.defaultButton >= 0 && spec.defaultButton < buttons.size())
        box.setDefaultButton(static_cast<QPushButton*>(buttons.at(spec.defaultButton)));
    if (!spec.checkboxText.isEmpty()) {
        auto* checkBox = new QCheckBox(spec.checkboxText, &box);
        checkBox->setChecked(spec.checkboxChecked);
        box.setCheckBox(checkBox);
    }
    return buttons;
}

/// Closing the box without a button (window manager, Escape without a Cancel button) counts as
/// the last button, which is where the cancelling choice sits by convention.
int pressedIndex(const QMessageBox& box, const QList<QAbstractButton*>& buttons)
{
    const qsizetype index = buttons.indexOf(box.clickedButton());
    return int(index >= 0 ? index : buttons.size() - 1);
}

} // namespace

int QtPlatformTools::runAlert(const AlertSpec& spec, bool* checkboxChecked)
{
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    const QList<QAbstractButton*> buttons = setUpBox(box, spec);
    box.exec();
    if (checkboxChecked)
        *checkboxChecked = box.checkBox() ? box.checkBox()->isChecked() : spec.checkboxChecked;
    return pressedIndex(box, buttons);
}

void QtPlatformTools::beginSheet(QWidget* window, const AlertSpec& spec,
                                 std::function<void(int button, bool checkboxChecked)> done)
{
    auto* box = new QMessageBox(window);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const QList<QAbstractButton*> buttons = setUpBox(*box, spec);
    const bool initialChecked = spec.checkboxChecked;
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, buttons, initialChecked, done = std::move(done)](int) {
                         const bool checked =
                             box->checkBox() ? box->checkBox()->isChecked() : initialChecked;
                         if (done)
                             done(pressedIndex(*box, buttons), checked);
                     });
    box->open();
}

QString QtPlatformTools::runSavePanel(QWidget* parent, const QString& title,
                                      const QString& suggestedName,
                                      const QString& requiredExtension)
{
    const QString filter =
        requiredExtension.isEmpty() ? QString() : QStringLiteral("*.%1").arg(requiredExtension);
    QFileDialog dialog(parent, title, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(requiredExtension);
    dialog.selectFile(withRequiredExtension(suggestedName, requiredExtension));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return withRequiredExtension(dialog.selectedFiles().constFirst(), requiredExtension);
}

QString QtPlatformTools::runFolderPanel(QWidget* parent, const FolderPanelSpec& spec)
{
    QFileDialog dialog(parent);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (!spec.message.isEmpty())
        dialog.setWindowTitle(spec.message);
    if (!spec.prompt.isEmpty())
        dialog.setLabelText(QFileDialog::Accept, spec.prompt);
    if (!spec.directory.isEmpty())
        dialog.setDirectory(spec.directory);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

namespace {

/// Qt's dialogs pick files or one folder, never both. Qt's own (non-native) dialog can: its
/// views accept several rows of either kind once their selection mode allows it, and the
/// confirming button then hands back what is selected instead of entering a folder.
class FilesAndFoldersDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

    void prepare()
    {
        setOption(QFileDialog::DontUseNativeDialog, true);
        setFileMode(QFileDialog::ExistingFiles);
        for (auto* view : findChildren<QAbstractItemView*>())
            if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view))
                view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    }

    QStringList chosenPaths() const { return m_chosen; }

    void accept() override
    {
        QStringList paths;
        if (auto* view = findChild<QTreeView*>(QStringLiteral("treeView"))) {
            auto* model = qobject_cast<QFileSystemModel*>(view->model());
            if (model && view->selectionModel()) {
                for (const QModelIndex& index : view->selectionModel()->selectedRows())
                    paths << model->filePath(index);
            }
        }
        if (paths.isEmpty()) {
            // Nothing picked in the view: a typed name, or the folder being shown.
            paths = selectedFiles();
            if (paths.isEmpty())
                paths << directory().absolutePath();
        }
        m_chosen = paths;
        QDialog::accept();
    }

private:
    QStringList m_chosen;
};

} // namespace

void QtPlatformTools::beginOpenPanel(QWidget* window, const OpenPanelSpec& spec,
                                     std::function<void(const QStringList& paths)> done)
{
    // Starts where the user last added from, else in the music folder, never in whatever folder
    // the program happened to be started from.
    static QString lastDirectory;
    QString start = lastDirectory;
    if (start.isEmpty() || !QFileInfo(start).isDir()) {
        start = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        if (!QFileInfo(start).isDir())
            start = QDir::homePath();
    }
    auto* dialog = new FilesAndFoldersDialog(window, spec.title, start);
    dialog->prepare();
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (!spec.prompt.isEmpty())
        dialog->setLabelText(QFileDialog::Accept, spec.prompt);
    QObject::connect(
        dialog, &QDialog::finished, dialog, [dialog, done = std::move(done)](int result) {
            if (done)
                done(result == QDialog::Accepted ? dialog->chosenPaths() : QStringList());
        });
    dialog->open();
}

void QtPlatformTools::beginDialogSheet(QWidget* window, QDialog* dialog,
                                       std::function<void(int result)> done)
{
    if (window && dialog->parentWidget() != window)
        dialog->setParent(window, dialog->windowFlags());
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QDialog::finished, dialog, [done = std::move(done)](int result) {
        if (done)
            done(result);
    });
    dialog->open();
}

bool QtPlatformTools::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

void QtPlatformTools::beep()
{
    QApplication::beep();
}

void QtPlatformTools::setClipboardText(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

} // namespace cleftone
