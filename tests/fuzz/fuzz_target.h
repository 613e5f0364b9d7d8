#pragma once

// Shared by the libFuzzer targets and by the corpus replay test that links them in an ordinary build.

#include <QtGlobal>

namespace fuzz {

// Drops the decoders' own log lines (a debug line per rejected input would swamp the fuzzer), but a
// fatal message still reaches the handler that was there before, so a test run says what went wrong.
inline void silence_qt_messages() {
    static QtMessageHandler previous = nullptr;
    static const bool installed = [] {
        previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                if (type == QtFatalMsg && previous)
                    previous(type, context, text);
            });
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace fuzz

// A broken invariant is a finding like a crash: a fatal message aborts, so that libFuzzer keeps the input,
// and the corpus replay test names the row (the handler above passes fatal messages on).
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            qFatal("%s:%d: check failed: %s", __FILE__, __LINE__, #condition);                               \
        }                                                                                                    \
    } while (false)
