#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>

class QMimeData;

namespace cleftone {

/// Takes drags and drops on one widget (the list's viewport) as copies and hands their data to
/// the owner: `validate` says whether a drag may be dropped, `accept` takes the drop.
///
/// Threads: main thread only.
class FileDropFilter : public QObject {
    Q_OBJECT

public:
    using Decision = std::function<bool(const QMimeData* data)>;

    /// Makes `target` accept drops; `target` may go first.
    FileDropFilter(QWidget* target, Decision validate, Decision accept, QObject* parent = nullptr);
    ~FileDropFilter() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> target_;
    Decision validate_;
    Decision accept_;
};

} // namespace cleftone
