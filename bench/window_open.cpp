// The window's own figures, on the offscreen platform:
//   window_open_bench FILE [REPEAT]
//       opening a file: from the path to the preview (read, render, fit, pixmap); prints
//       "open_ms MEDIAN" over REPEAT opens
//   window_open_bench FILE --drag MOVES
//       a right-button drag on the preview changing the window MOVES times, each move
//       redrawn; prints "drag_redraws_per_s RATE"
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <cstring>
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
    if (argc > 3 && std::strcmp(argv[2], "--drag") == 0) {
        if (!window.OpenDicom(QString::fromLocal8Bit(argv[1]))) return 1;
        QLabel* preview = window.findChild<QLabel*>(QStringLiteral("lbPic"));
        const int moves = std::max(1, std::atoi(argv[3]));
        const auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
            QMouseEvent event(type, QPointF(at), QPointF(preview->mapToGlobal(at)), button, held, Qt::NoModifier);
            QApplication::sendEvent(preview, &event);
        };
        send(QEvent::MouseButtonPress, QPoint(100, 100), Qt::RightButton, Qt::RightButton);
        QElapsedTimer timer;
        timer.start();
        for (int i = 1; i <= moves; ++i) {
            send(QEvent::MouseMove, QPoint(100 + i % 200, 100 + i % 50), Qt::NoButton, Qt::RightButton);
            QApplication::processEvents();
        }
        std::printf("drag_redraws_per_s %.1f\n", moves / (static_cast<double>(timer.nsecsElapsed()) / 1e9));
        return 0;
    }
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
