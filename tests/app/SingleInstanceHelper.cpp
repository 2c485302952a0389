// Stands in for a second launch of the program, or for an instance that crashes while listening.
//   forward <server> <path>...   prints the forwarding result's number
//   listen <server>              prints "listening" and serves until killed
#include "app/SingleInstance.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    cleftone::SingleInstance instance(args.value(2));
    if (args.value(1) == QLatin1String("listen")) {
        if (!instance.listen())
            return 1;
        std::printf("listening\n");
        std::fflush(stdout);
        return app.exec();
    }
    std::printf("%d\n",
                int(instance.forwardToRunningInstance(args.mid(3), std::chrono::seconds(10))));
    return 0;
}
