// The yardstick for the program's start-up: an empty QMainWindow of the program's size, shown, with the
// same log line as the program's (through Qt's message handler) once its event loop runs. tools/measure.sh startup times both.
// With --quit it ends right after that line, for instruction counts of the start alone.

#include <QApplication>
#include <QDebug>
#include <QMainWindow>
#include <QTimer>

#include <cstring>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const bool quit = argc > 1 && std::strcmp(argv[1], "--quit") == 0;
    QMainWindow window;
    window.setFixedSize(665, 517);
    window.setWindowTitle(QStringLiteral("Bare window"));
    // Posted before show(), as the program's machine start is.
    QTimer::singleShot(0, [quit] {
        qInfo() << "Starting sm_A";
        if (quit)
            QCoreApplication::quit();
    });
    window.show();
    return app.exec();
}
