#include "ui/EmptyPlaceholderTableView.h"

#include <QImage>
#include <QStringListModel>
#include <QTest>
#include <gtest/gtest.h>

#include <optional>

using cleftone::EmptyPlaceholderTableView;
using cleftone::placeholderOrigin;

namespace {

// The box around every pixel of `rect` that differs from `background`.
std::optional<QRect> inkBox(const QImage& image, const QRect& rect, QRgb background)
{
    QRect box;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            if (image.pixel(x, y) != background)
                box |= QRect(x, y, 1, 1);
    return box.isNull() ? std::nullopt : std::optional<QRect>(box);
}

QImage grabViewport(EmptyPlaceholderTableView& view)
{
    return view.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace

TEST(PlaceholderOriginTest, CentresInTheVisibleAreaOrTheBoundsAndRoundsDown)
{
    const QRectF bounds(0, 0, 1000, 1000);
    const QSizeF text(50, 20);
    EXPECT_EQ(placeholderOrigin(QRectF(0, 0, 200, 100), bounds, text), QPoint(75, 40));
    // A centre on a half pixel goes left and up, not to the nearest pixel.
    EXPECT_EQ(placeholderOrigin(QRectF(0, 0, 201, 101), bounds, text), QPoint(75, 40));
    EXPECT_EQ(placeholderOrigin(QRectF(0, 0, 200, 100), bounds, QSizeF(50.6, 20.2)),
              QPoint(74, 39));
    // Down also means down below zero, when the text is larger than the area.
    EXPECT_EQ(placeholderOrigin(QRectF(0, 0, 49, 19), bounds, text), QPoint(-1, -1));
    // The visible area's own position counts (a scrolled table).
    EXPECT_EQ(placeholderOrigin(QRectF(10, 300, 200, 100), bounds, text), QPoint(85, 340));
    for (const QRectF& empty : {QRectF(), QRectF(30, 30, 0, 80), QRectF(30, 30, 80, 0)})
        EXPECT_EQ(placeholderOrigin(empty, QRectF(0, 0, 400, 300), QSizeF(100, 20)),
                  QPoint(150, 140));
}

TEST(EmptyPlaceholderTableViewTest, TextIsCentredWhileEmptyGoesWithTheFirstRowAndComesBack)
{
    QStringListModel model;
    EmptyPlaceholderTableView view;
    view.setModel(&model);
    view.resize(480, 320);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view, 5000));

    const QImage empty = grabViewport(view);
    const QRgb background = empty.pixel(0, empty.height() - 1);
    const auto ink = inkBox(empty, empty.rect(), background);
    ASSERT_TRUE(ink.has_value()) << "nothing drawn in an empty table";
    // Centred in the viewport, not in the whole widget with its headers; the ink sits within the
    // text box, so it is centred horizontally up to the side bearings of its first and last glyph.
    const QPointF viewportCentre = QRectF(empty.rect()).center();
    EXPECT_NEAR(QRectF(*ink).center().x(), viewportCentre.x(), 4.0);
    EXPECT_NEAR(QRectF(*ink).center().y(), viewportCentre.y(), 5.0);
    // One line of 18-point type, wider than it is tall.
    EXPECT_GT(ink->width(), 4 * ink->height());
    EXPECT_GT(ink->height(), 10);
    EXPECT_LT(ink->height(), 40);

    // Below the first row, so that row's own text does not count.
    const QRect middle(0, 60, empty.width(), empty.height() - 120);
    model.setStringList({QStringLiteral("Song.mp3")});
    ASSERT_GT(view.rowHeight(0), 0);
    ASSERT_LT(view.rowHeight(0), middle.top());
    EXPECT_FALSE(inkBox(grabViewport(view), middle, background).has_value());
    model.removeRows(0, 1);
    EXPECT_EQ(grabViewport(view), empty);

    EmptyPlaceholderTableView bare; // without a model
    bare.resize(480, 320);
    const QImage image = grabViewport(bare);
    EXPECT_TRUE(inkBox(image, image.rect(), image.pixel(0, 0)).has_value());
}
