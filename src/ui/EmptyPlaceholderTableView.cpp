#include "ui/EmptyPlaceholderTableView.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace cleftone {

QPoint placeholderOrigin(const QRectF& visibleRect, const QRectF& bounds, const QSizeF& textSize)
{
    const QRectF area = visibleRect.isEmpty() ? bounds : visibleRect;
    const double x = std::floor(area.x() + area.width() * 0.5 - textSize.width() * 0.5);
    const double y = std::floor(area.y() + area.height() * 0.5 - textSize.height() * 0.5);
    return QPoint(static_cast<int>(x), static_cast<int>(y));
}

EmptyPlaceholderTableView::EmptyPlaceholderTableView(QWidget* parent) : QTableView(parent)
{}

QString EmptyPlaceholderTableView::placeholderText()
{
    return tr("Drop files or folders here");
}

void EmptyPlaceholderTableView::setModel(QAbstractItemModel* model)
{
    if (m_watchedModel) {
        disconnect(m_watchedModel, nullptr, this, nullptr);
    }
    QTableView::setModel(model);
    m_watchedModel = model;
    if (model) {
        const auto refresh = [this] {
            refreshWhenEmptinessChanged();
        };
        connect(model, &QAbstractItemModel::rowsInserted, this, refresh);
        connect(model, &QAbstractItemModel::rowsRemoved, this, refresh);
        connect(model, &QAbstractItemModel::modelReset, this, refresh);
        connect(model, &QAbstractItemModel::layoutChanged, this, refresh);
    }
    m_wasEmpty = hasNoRows();
    viewport()->update();
}

bool EmptyPlaceholderTableView::hasNoRows() const
{
    return model() == nullptr || model()->rowCount(rootIndex()) == 0;
}

void EmptyPlaceholderTableView::refreshWhenEmptinessChanged()
{
    // Only the step between zero and some rows changes the placeholder; the view repaints rows
    // it shows by itself.
    const bool empty = hasNoRows();
    if (empty != m_wasEmpty) {
        m_wasEmpty = empty;
        viewport()->update();
    }
}

void EmptyPlaceholderTableView::paintEvent(QPaintEvent* event)
{
    QTableView::paintEvent(event);
    if (!hasNoRows()) {
        return;
    }

    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSizeF(18);
    font.setWeight(QFont::Medium);

    QWidget* const canvas = viewport();
    const QFontMetricsF metrics(font, canvas);
    const QString text = placeholderText();
    const QSizeF textSize(metrics.horizontalAdvance(text), metrics.height());

    // Positioned against what can be seen of the table rather than the area being repainted, so
    // the text stays centred whatever part is redrawn.
    const QPoint origin =
        placeholderOrigin(canvas->visibleRegion().boundingRect(), canvas->rect(), textSize);

    QPainter painter(canvas);
    painter.setFont(font);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(QRectF(origin, textSize), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     text);
}

void EmptyPlaceholderTableView::scrollContentsBy(int dx, int dy)
{
    QTableView::scrollContentsBy(dx, dy);
    // Scrolling moves the painted pixels along; the placeholder must stay where it is.
    if (hasNoRows()) {
        viewport()->update();
    }
}

} // namespace cleftone
