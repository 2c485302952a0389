#include "errorlog/ErrorLogWindowController.h"

#include "ui_ErrorLogWindow.h"

#include "platform/BuildConfig.h"
#include "platform/MainThread.h"

#include <QAbstractItemDelegate>
#include <QAction>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMainWindow>
#include <QSaveFile>
#include <QSet>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QUrl>

#include <algorithm>

namespace cleftone {

namespace {

const char kEmailSubject[] = "Cleftone - Error Report";

/// RFC 3986's query characters beyond the unreserved ones, which percent-encoding always keeps.
const char kQueryCharacters[] = "!$&'()*+,;=:@/?";

/// The store keeps UTC; people read their own time.
class LocalDateDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant& value, const QLocale& locale) const override
    {
        if (value.userType() == QMetaType::QDateTime)
            return locale.toString(value.toDateTime().toLocalTime(), QLocale::ShortFormat);
        return QStyledItemDelegate::displayText(value, locale);
    }
};

} // namespace

ErrorLogWindowController::ErrorLogWindowController(ErrorLogStore& store, PlatformTools& tools,
                                                   QObject* parent)
    : QObject(parent), store_(store), tools_(tools)
{}

ErrorLogWindowController::~ErrorLogWindowController()
{
    // The window goes after the interface's pointer table; it must not reach the filter then.
    if (ui_)
        ui_->tableView->viewport()->removeEventFilter(this);
}

ErrorLogWindowController& ErrorLogWindowController::sharedController()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    static auto* instance = new ErrorLogWindowController;
    return *instance;
}

void ErrorLogWindowController::showWindow()
{
    QMainWindow* shown = window();
    shown->show();
    shown->raise();
    shown->activateWindow();
}

QMainWindow* ErrorLogWindowController::window()
{
    loadWindow();
    return window_.get();
}

QTableView* ErrorLogWindowController::tableView()
{
    loadWindow();
    return ui_->tableView;
}

QAction* ErrorLogWindowController::copyAction()
{
    loadWindow();
    return ui_->copyAction;
}

QAction* ErrorLogWindowController::clearAction()
{
    loadWindow();
    return ui_->clearAction;
}

QAction* ErrorLogWindowController::saveAction()
{
    loadWindow();
    return ui_->saveAction;
}

QAction* ErrorLogWindowController::emailAction()
{
    loadWindow();
    return ui_->emailAction;
}

void ErrorLogWindowController::loadWindow()
{
    if (window_)
        return;
    CLEFTONE_ASSERT_MAIN_THREAD();
    window_ = std::make_unique<QMainWindow>();
    ui_ = std::make_unique<Ui::ErrorLogWindow>();
    ui_->setupUi(window_.get());

    QTableView* table = ui_->tableView;
    table->setModel(&store_);
    table->setItemDelegateForColumn(ErrorLogStore::DateColumn, new LocalDateDelegate(table));
    // Heights are measured here, row by row, so the header must not size them itself.
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    // The measured height stands even below the style's usual minimum: a one-line message
    // gets a one-line row.
    table->verticalHeader()->setMinimumSectionSize(1);

    connect(ui_->copyAction, &QAction::triggered, this, &ErrorLogWindowController::copy);
    connect(ui_->clearAction, &QAction::triggered, this, &ErrorLogWindowController::clear);
    connect(ui_->saveAction, &QAction::triggered, this, &ErrorLogWindowController::save);
    connect(ui_->emailAction, &QAction::triggered, this,
            &ErrorLogWindowController::emailReportToDeveloper);
    connect(ui_->clearButton, &QPushButton::clicked, ui_->clearAction, &QAction::trigger);
    connect(ui_->saveButton, &QPushButton::clicked, ui_->saveAction, &QAction::trigger);
    connect(ui_->emailButton, &QPushButton::clicked, ui_->emailAction, &QAction::trigger);

    connect(table->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int logicalIndex, int, int) {
                if (logicalIndex == ErrorLogStore::LogColumn)
                    tableViewColumnDidResize();
            });
    connect(&store_, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int first, int last) { resizeRows(first, last); });
    connect(&store_, &QAbstractItemModel::modelReset, this, [this] {
        tableViewColumnDidResize();
        updateActions();
    });
    connect(&store_, &QAbstractItemModel::rowsRemoved, this,
            &ErrorLogWindowController::updateActions);
    connect(table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ErrorLogWindowController::updateActions);

    // A stretched message column changes width with the window without always announcing it
    // as a section resize; the viewport's resize catches those too.
    table->viewport()->installEventFilter(this);

    tableViewColumnDidResize();
    updateActions();
}

bool ErrorLogWindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (ui_ && watched == ui_->tableView->viewport() && event->type() == QEvent::Resize) {
        // The header settles the stretched column's width after the viewport's resize.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (ui_ && ui_->tableView->columnWidth(ErrorLogStore::LogColumn) != measuredWidth_)
                    tableViewColumnDidResize();
            },
            Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void ErrorLogWindowController::copy()
{
    if (!window_)
        return;
    QList<int> rows;
    {
        QSet<int> seen;
        for (const QModelIndex& index : ui_->tableView->selectionModel()->selectedIndexes()) {
            if (!seen.contains(index.row())) {
                seen.insert(index.row());
                rows.append(index.row());
            }
        }
    }
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());

    const QLocale locale;
    const QList<ErrorLogEntry> entries = store_.entries();
    QString text;
    for (int row : rows) {
        if (row < 0 || row >= entries.size())
            continue;
        const ErrorLogEntry& entry = entries.at(row);
        const QString date = entry.date.isValid()
                                 ? locale.toString(entry.date.toLocalTime(), QLocale::ShortFormat)
                                 : QString();
        text += QStringLiteral("%1\t%2\n").arg(date, entry.log);
    }
    tools_.setClipboardText(text);
}

void ErrorLogWindowController::clear()
{
    store_.clear();
}

void ErrorLogWindowController::save()
{
    const QString path = tools_.runSavePanel(
        window(), tr("Save Error Log"), QStringLiteral("Error Log.log"), QStringLiteral("log"));
    if (path.isEmpty())
        return;
    // The log may have grown while the panel was open: save what it holds now.
    const QByteArray bytes = store_.errorLogAsString().toUtf8();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}

void ErrorLogWindowController::emailReportToDeveloper()
{
    const QByteArray link =
        emailLink(QString::fromUtf8(supportEmailAddress()), store_.errorLogAsString());
    tools_.openUrl(QUrl::fromEncoded(link, QUrl::StrictMode));
}

QByteArray ErrorLogWindowController::emailLink(const QString& recipient, const QString& report)
{
    const QString filled = QStringLiteral("mailto:%1?subject=%2&body=%3")
                               .arg(recipient, QString::fromLatin1(kEmailSubject), report);
    return QUrl::toPercentEncoding(filled, QByteArray(kQueryCharacters));
}

bool ErrorLogWindowController::validateMenuItem(const QAction* item) const
{
    if (!item || !ui_ || item != ui_->copyAction)
        return true;
    return ui_->tableView->selectionModel()->hasSelection();
}

int ErrorLogWindowController::heightOfRow(int row) const
{
    if (!ui_)
        return kFallbackRowHeight;
    const QTableView* table = ui_->tableView;
    const QModelIndex index = store_.index(row, ErrorLogStore::LogColumn);
    if (!index.isValid())
        return kFallbackRowHeight;

    QStyleOptionViewItem option;
    option.initFrom(table->viewport());
    option.font = table->font();
    option.features |= QStyleOptionViewItem::WrapText;
    option.textElideMode = Qt::ElideNone;
    option.rect = QRect(0, 0, table->columnWidth(ErrorLogStore::LogColumn), kMeasuringBoxHeight);
    const QAbstractItemDelegate* delegate = table->itemDelegateForIndex(index);
    const int needed = std::min(delegate->sizeHint(option, index).height(), kMeasuringBoxHeight);
    return needed > 0 ? needed : kFallbackRowHeight;
}

void ErrorLogWindowController::tableViewColumnDidResize()
{
    if (ui_)
        measuredWidth_ = ui_->tableView->columnWidth(ErrorLogStore::LogColumn);
    resizeRows(0, store_.rowCount() - 1);
}

void ErrorLogWindowController::resizeRows(int first, int last)
{
    if (!ui_)
        return;
    QHeaderView* rows = ui_->tableView->verticalHeader();
    for (int row = first; row <= last; ++row)
        rows->resizeSection(row, heightOfRow(row));
}

void ErrorLogWindowController::updateActions()
{
    if (ui_)
        ui_->copyAction->setEnabled(validateMenuItem(ui_->copyAction));
}

} // namespace cleftone
