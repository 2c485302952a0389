#include "ui/PlatformTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QList>
#include <QMessageBox>
#include <QPushButton>
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

QStringList QtPlatformTools::runOpenPanel(QWidget* parent, const QString& title)
{
    // Qt's dialogs choose either files or one folder, not both at once; files cover the
    // common case and folders reach the list by drag and drop.
    QFileDialog dialog(parent, title);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
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
