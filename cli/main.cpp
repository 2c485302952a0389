#include "StripCommand.h"

#include "platform/BuildConfig.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cleftone-strip"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(cleftone::applicationVersion()));
    return cleftone::StripCommand().run(QCoreApplication::arguments());
}
