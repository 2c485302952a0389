#pragma once

#include <QString>

#include <stdexcept>

namespace cleftone {

/// Ends a strip job with a failure; the message is the text of the job's error-log line.
/// Thrown on the job's worker thread and caught at the job's boundary.
class StripFailure : public std::runtime_error {
public:
    explicit StripFailure(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message)
    {}

    const QString& message() const noexcept { return message_; }

private:
    QString message_;
};

} // namespace cleftone
