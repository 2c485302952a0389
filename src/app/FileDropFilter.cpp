#include "app/FileDropFilter.h"

#include "platform/MainThread.h"

#include <QDropEvent>

namespace cleftone {

FileDropFilter::FileDropFilter(QWidget* target, Decision validate, Decision accept, QObject* parent)
    : QObject(parent), target_(target), validate_(std::move(validate)), accept_(std::move(accept))
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    target_->setAcceptDrops(true);
    target_->installEventFilter(this);
}

FileDropFilter::~FileDropFilter()
{
    if (target_)
        target_->removeEventFilter(this);
}

bool FileDropFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != target_)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop: {
        // Hovering only asks whether the data would do; the drop hands it over.
        auto* drop = static_cast<QDropEvent*>(event);
        const bool taken =
            event->type() == QEvent::Drop ? accept_(drop->mimeData()) : validate_(drop->mimeData());
        if (taken) {
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
        } else {
            drop->ignore();
        }
        return true;
    }
    default:
        return QObject::eventFilter(watched, event);
    }
}

} // namespace cleftone
