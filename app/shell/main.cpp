#include <QApplication>

#include "AppEntry.h"

int main(int argc, char* argv[]) {
    // Qt 6 always scales for high DPI and uses high-DPI pixmaps; only the rounding is ours
    // to choose, and it must be set before the application object exists.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::RoundPreferFloor);
    QApplication app(argc, argv);
    return AppEntry::run(app, AppEntry::Options{});
}
