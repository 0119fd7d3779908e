// Opening a file in the window: from the click's path to the preview on screen (read, render,
// fit, pixmap), on the offscreen platform. Prints "open_ms MEDIAN" over REPEAT opens.
//   window_open_bench FILE [REPEAT]
#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "Lumaframe.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [REPEAT]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Lumaframe window;
    window.show();
    QApplication::processEvents();
    const int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::vector<double> times;
    for (int i = 0; i < repeat; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!window.OpenDicom(QString::fromLocal8Bit(argv[1]))) return 1;
        QApplication::processEvents();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("open_ms %.1f\n", times[times.size() / 2]);
    return 0;
}
