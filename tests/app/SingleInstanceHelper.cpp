// Stands in for a second launch of the program, or for an instance that crashes while listening.
//   forward <server> <path>...   prints the forwarding result
//   listen <server>              prints "listening" and serves until killed
#include "app/SingleInstance.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    cleftone::SingleInstance instance(args[2]);
    if (args[1] == QLatin1String("listen")) {
        if (!instance.listen())
            return 1;
        std::printf("listening\n");
        std::fflush(stdout);
        return app.exec();
    }
    using Result = cleftone::SingleInstance::ForwardResult;
    const Result result = instance.forwardToRunningInstance(args.mid(3), std::chrono::seconds(10));
    const char* names[] = {"NoInstance", "Accepted", "Refused", "NoAnswer"};
    std::printf("%s\n", names[static_cast<int>(result)]);
    return result == Result::Accepted ? 0 : 1;
}
