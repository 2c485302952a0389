#include "StripCommand.h"

#include "platform/BuildConfig.h"
#include "platform/MemoryTuning.h"
#include "platform/PathBytes.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    cleftone::tuneMemoryAllocator();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("cleftone-strip"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(cleftone::applicationVersion()));
    // QCoreApplication::arguments() would decode the paths as UTF-8 and lose the bytes of a
    // name that is not.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << cleftone::pathFromBytes(QByteArray(argv[i]));
    return cleftone::StripCommand().run(arguments);
}
