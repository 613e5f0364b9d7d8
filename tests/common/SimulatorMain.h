#pragma once

#include <QApplication>
#include <QtTest>

#include <vector>

// main() of an in-process whole-program test in simulator mode: the program gets its "-s" as a user
// would give it; QtTest sees only its own arguments.
template <typename Test>
int run_in_simulator_mode(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char simulator[] = "-s";
    args.insert(args.begin() + 1, simulator);
    int count = int(args.size());
    QApplication app(count, args.data());
    Test test;
    return QTest::qExec(&test, argc, argv);
}
