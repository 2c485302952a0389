#include "app/MetadataInspector.h"

#include "engine/audiofile/MetadataInspection.h"
#include "platform/DisplayName.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"

#include <QAction>
#include <QBuffer>
#include <QDockWidget>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QPixmap>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace cleftone {

namespace {

constexpr int kThumbnailSize = 128;
constexpr int kPanelWidth = 300;

QString text(const std::string& value)
{
    return QString::fromStdString(value);
}

QString sizeText(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
}

// The first picture, decoded no larger than the thumbnail. Any thread.
QImage thumbnailOf(const MetadataReport& report)
{
    if (report.pictures.empty() || report.pictures.front().data.empty())
        return {};
    const std::vector<std::uint8_t>& data = report.pictures.front().data;
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()), qsizetype(data.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.width() > kThumbnailSize || size.height() > kThumbnailSize)
        reader.setScaledSize(size.scaled(kThumbnailSize, kThumbnailSize, Qt::KeepAspectRatio));
    return reader.read();
}

QString chapterTime(double seconds)
{
    const auto milliseconds = qint64(seconds * 1000 + 0.5);
    return QStringLiteral("%1:%2.%3")
        .arg(milliseconds / 60000)
        .arg(milliseconds / 1000 % 60, 2, 10, QLatin1Char('0'))
        .arg(milliseconds % 1000, 3, 10, QLatin1Char('0'));
}

} // namespace

MetadataInspector::MetadataInspector(QMainWindow* window, QObject* parent)
    : QObject(parent), dock_(new QDockWidget(tr("Metadata"), window)), title_(new QLabel),
      subtitle_(new QLabel), cover_(new QLabel), coverCaption_(new QLabel), items_(new QTreeWidget),
      total_(new QLabel)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    reader_.setMaxThreadCount(1);
    dock_->setObjectName(QStringLiteral("metadataInspector"));
    dock_->setAccessibleName(tr("Metadata inspector"));
    dock_->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                       QDockWidget::DockWidgetFloatable);

    auto* panel = new QWidget;
    auto* column = new QVBoxLayout(panel);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setWordWrap(true);
    subtitle_->setForegroundRole(QPalette::PlaceholderText);
    cover_->setAccessibleName(tr("Cover art"));
    cover_->setAlignment(Qt::AlignCenter);
    coverCaption_->setWordWrap(true);
    coverCaption_->setAccessibleName(tr("About the cover art"));
    auto* coverRow = new QHBoxLayout;
    coverRow->addWidget(cover_);
    coverRow->addWidget(coverCaption_, 1);
    items_->setColumnCount(2);
    items_->setHeaderLabels({tr("Item"), tr("Value")});
    items_->setAccessibleName(tr("Metadata of the file"));
    items_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    items_->setTextElideMode(Qt::ElideRight);
    items_->header()->setSectionResizeMode(0, QHeaderView::Interactive);
    items_->header()->resizeSection(0, kPanelWidth * 3 / 5);
    total_->setAccessibleName(tr("Metadata in all"));
    total_->setWordWrap(true);
    column->addWidget(title_);
    column->addWidget(subtitle_);
    column->addLayout(coverRow);
    column->addWidget(items_, 1);
    column->addWidget(total_);
    panel->setMinimumWidth(kPanelWidth);
    dock_->setWidget(panel);
    window->addDockWidget(Qt::RightDockWidgetArea, dock_);
    dock_->hide();

    QAction* toggle = dock_->toggleViewAction();
    //: View menu item; Space on the list does the same.
    toggle->setText(tr("Show &Metadata") + QStringLiteral("\tSpace"));
    connect(dock_, &QDockWidget::visibilityChanged, this, [this](bool visible) {
        if (visible && shownPath_ != path_)
            load();
    });
    setPath(QString());
}

MetadataInspector::~MetadataInspector()
{
    // A result that comes now is dropped with this object.
    ++request_;
    reader_.waitForDone();
}

QAction* MetadataInspector::toggleAction() const
{
    return dock_->toggleViewAction();
}

void MetadataInspector::show()
{
    dock_->show();
    dock_->raise();
    if (shownPath_ != path_)
        load();
}

void MetadataInspector::toggle()
{
    if (dock_->isHidden())
        show();
    else
        dock_->hide();
}

void MetadataInspector::setPath(const QString& path)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    path_ = path;
    // Read only while shown: following the selection through a long list costs nothing hidden.
    if (!dock_->isHidden() || path.isEmpty())
        load();
}

void MetadataInspector::load()
{
    const quint64 request = ++request_;
    shownPath_ = path_;
    if (path_.isEmpty()) {
        loading_ = false;
        showMessage(tr("No File Selected"), tr("Select a file in the list to see its metadata."));
        emit loaded();
        return;
    }
    loading_ = true;
    showMessage(displayNameAtPath(path_), QString());
    subtitle_->setText(tr("Reading\u2026"));
    const QString path = path_;
    reader_.start([this, request, path] {
        auto report =
            std::make_shared<MetadataReport>(inspectMetadata(pathBytes(path).toStdString(), true));
        const QImage thumbnail = thumbnailOf(*report);
        for (MetadataPicture& picture : report->pictures)
            picture.data = {};
        postToMainThread(this, [this, request, path, report, thumbnail] {
            if (request != request_)
                return;
            loading_ = false;
            showReport(path, *report, thumbnail);
            emit loaded();
        });
    });
}

void MetadataInspector::showMessage(const QString& title, const QString& message)
{
    title_->setText(title);
    title_->setToolTip(displayPath(path_));
    subtitle_->clear();
    cover_->clear();
    cover_->hide();
    coverCaption_->clear();
    coverCaption_->hide();
    items_->clear();
    items_->hide();
    total_->setText(message);
}

void MetadataInspector::showReport(const QString& path, const MetadataReport& report,
                                   const QImage& thumbnail)
{
    showMessage(displayNameAtPath(path), QString());
    if (!report.readable) {
        total_->setText(tr("This file cannot be read as audio."));
        return;
    }
    //: Under the file's name: its container and the codec of its audio, such as "MP3 file,
    //: mp3 audio".
    subtitle_->setText(
        tr("%1 file, %2 audio").arg(text(report.container).toUpper(), text(report.codec)));
    if (report.carriesNothing() && report.kept.empty()) {
        total_->setText(tr("No metadata"));
        return;
    }

    const auto section = [this](const QString& title, qsizetype count) {
        auto* item = new QTreeWidgetItem(items_, {title, QString::number(count)});
        QFont font = item->font(0);
        font.setBold(true);
        item->setFont(0, font);
        item->setExpanded(true);
        return item;
    };
    if (!report.tags.empty()) {
        QTreeWidgetItem* tags = section(tr("Tags"), qsizetype(report.tags.size()));
        for (const MetadataTag& tag : report.tags) {
            auto* item = new QTreeWidgetItem(tags, {text(tag.key), text(tag.value)});
            item->setToolTip(1, text(tag.value));
        }
    }
    if (!report.pictures.empty()) {
        QTreeWidgetItem* pictures = section(tr("Cover Art"), qsizetype(report.pictures.size()));
        for (const MetadataPicture& picture : report.pictures) {
            //: A picture in the file: %1 its format ("JPEG"), %2 its size, %3 and %4 its width
            //: and height in pixels.
            const QString about = tr("%1 image, %2, %3 \u00D7 %4 pixels")
                                      .arg(text(picture.format), sizeText(picture.bytes))
                                      .arg(picture.width)
                                      .arg(picture.height);
            new QTreeWidgetItem(pictures, {text(picture.description), about});
        }
        const MetadataPicture& first = report.pictures.front();
        coverCaption_->setText(
            tr("%1 image, %2, %3 \u00D7 %4 pixels")
                .arg(text(first.format), sizeText(first.bytes))
                .arg(first.width)
                .arg(first.height) +
            (first.description.empty() ? QString() : QLatin1Char('\n') + text(first.description)));
        coverCaption_->show();
        if (!thumbnail.isNull()) {
            cover_->setPixmap(QPixmap::fromImage(thumbnail));
            cover_->show();
        }
    }
    if (!report.chapters.empty()) {
        QTreeWidgetItem* chapters = section(tr("Chapters"), qsizetype(report.chapters.size()));
        for (const MetadataChapter& chapter : report.chapters)
            new QTreeWidgetItem(chapters, {chapterTime(chapter.start), text(chapter.title)});
    }
    if (!report.blocks.empty()) {
        QTreeWidgetItem* blocks = section(tr("Other Metadata"), qsizetype(report.blocks.size()));
        for (const MetadataBlock& block : report.blocks) {
            const QString name = text(block.name);
            const QString label = block.kind == "chunk"       ? tr("Chunk \u201C%1\u201D").arg(name)
                                  : block.kind == "box"       ? tr("Box %1").arg(name)
                                  : block.kind == "element"   ? tr("Element %1").arg(name)
                                  : block.kind == "object"    ? tr("Object %1").arg(name)
                                  : block.kind == "flacBlock" ? tr("FLAC block %1").arg(name)
                                  : block.kind == "tagInFront" ? tr("%1 in front").arg(name)
                                  : block.kind == "tagAtEnd"   ? tr("%1 at the end").arg(name)
                                  : block.kind == "trailing"   ? tr("Other bytes at the end")
                                  : block.kind == "annotation" ? tr("Annotation")
                                  : block.kind == "comments"   ? tr("Comment header: %1").arg(name)
                                  : block.kind == "commentData"
                                      ? tr("Data after the comments: %1").arg(name)
                                  : block.kind == "storedChunk"
                                      ? tr("Chunk \u201C%1\u201D stored in the stream").arg(name)
                                  : block.kind == "stream" ? tr("Other stream: %1").arg(name)
                                                           : text(block.kind) + ": " + name;
            auto* item = new QTreeWidgetItem(
                blocks, {label, block.bytes < 0 ? tr("size unknown") : sizeText(block.bytes)});
            item->setToolTip(0, name);
        }
    }
    if (!report.kept.empty()) {
        //: Metadata stored inside the audio stream, which a strip cannot remove without
        //: changing the audio.
        QTreeWidgetItem* kept = section(tr("Kept"), qsizetype(report.kept.size()));
        const std::vector<std::string> where = keptLines(report);
        for (std::size_t i = 0; i < report.kept.size(); ++i) {
            const MetadataBlock& block = report.kept[i];
            const QString label = block.name.empty()
                                      ? tr("WAV metadata")
                                      : tr("Chunk \u201C%1\u201D").arg(text(block.name));
            auto* item = new QTreeWidgetItem(kept, {label, sizeText(block.bytes)});
            // Where it is stored, as --show says it.
            item->setToolTip(0, text(where[i]));
        }
    }
    items_->show();
    if (report.carriesNothing()) {
        total_->setText(tr("No metadata"));
    } else {
        //: Under the inspector's list: the bytes a strip removes from the file, such as "412 kB".
        total_->setText(tr("Metadata in all: %1").arg(sizeText(report.metadataBytes)));
    }
}

} // namespace cleftone
