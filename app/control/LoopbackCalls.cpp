#include "LoopbackCalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QDir>

#include <algorithm>

LoopbackCalls LoopbackCalls::system() {
    LoopbackCalls calls;
    calls.listNodes = [] {
        std::vector<std::pair<int, std::string>> numbered;
        const QStringList names =
            QDir(QStringLiteral("/dev")).entryList({QStringLiteral("video*")}, QDir::System);
        for (const QString& name : names) {
            bool ok = false;
            const int number = name.mid(5).toInt(&ok);
            if (ok)
                numbered.emplace_back(number, ("/dev/" + name).toStdString());
        }
        std::sort(numbered.begin(), numbered.end());
        std::vector<std::string> nodes;
        for (auto& n : numbered) nodes.push_back(std::move(n.second));
        return nodes;
    };
    calls.open = [](const char* path, int flags) { return ::open(path, flags | O_CLOEXEC); };
    calls.ioctl = [](int fd, unsigned long request, void* argument) {
        int r;
        do {
            r = ::ioctl(fd, request, argument);
        } while (r < 0 && errno == EINTR);
        return r;
    };
    calls.write = [](int fd, const void* data, size_t size) { return ::write(fd, data, size); };
    calls.close = [](int fd) { return ::close(fd); };
    return calls;
}
