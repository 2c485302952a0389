#pragma once

#include <QPoint>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QTableView>

namespace cleftone {

/// Where the placeholder's text box starts: centred in `visibleRect` (in `bounds` when
/// `visibleRect` is empty), with both coordinates rounded down to whole pixels so the text is
/// never drawn on a half pixel. The result may be negative when the text is larger than the area.
QPoint placeholderOrigin(const QRectF& visibleRect, const QRectF& bounds, const QSizeF& textSize);

/// The file-list table. While its model has no rows it draws a one-line invitation,
/// "Drop files or folders here", centred in the visible part of the table, in the system font at
/// 18 points, medium weight, in the palette's placeholder text colour. Otherwise it is a plain
/// QTableView.
///
/// Threads: main thread only, like every widget.
class EmptyPlaceholderTableView : public QTableView {
    Q_OBJECT

public:
    explicit EmptyPlaceholderTableView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;

    /// The invitation drawn while the table is empty.
    static QString placeholderText();

protected:
    void paintEvent(QPaintEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    bool hasNoRows() const;
    void refreshWhenEmptinessChanged();

    QPointer<QAbstractItemModel> m_watchedModel;
    bool m_wasEmpty = true;
};

} // namespace cleftone
