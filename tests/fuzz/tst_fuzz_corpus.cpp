// Replays every committed input of one fuzz target (its seeds, and each input that once found a fault)
// through the entry point libFuzzer calls, so that the ordinary and the sanitizer builds keep them passing.
// Linked once per target; FUZZ_CORPUS_DIR names the target's corpus.

#include <QDir>
#include <QFile>
#include <QtTest>

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size);

class TestFuzzCorpus : public QObject {
    Q_OBJECT

private slots:
    void corpus_is_there();
    void replay_data();
    void replay();
};

namespace {
QStringList corpus_files() {
    return QDir(QStringLiteral(FUZZ_CORPUS_DIR)).entryList(QDir::Files, QDir::Name);
}
} // namespace

// A wrong path must not pass as an empty corpus.
void TestFuzzCorpus::corpus_is_there() {
    QVERIFY2(corpus_files().size() >= 3, FUZZ_CORPUS_DIR);
}

void TestFuzzCorpus::replay_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("empty input") << QString();
    for (const QString& name : corpus_files())
        QTest::newRow(qPrintable(name)) << QStringLiteral(FUZZ_CORPUS_DIR "/") + name;
}

void TestFuzzCorpus::replay() {
    QFETCH(QString, path);
    QByteArray content;
    if (!path.isEmpty()) {
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        content = file.readAll();
    }
    // An exact-size buffer as libFuzzer passes it: a read past its end is caught by the sanitizer build.
    const std::vector<std::uint8_t> bytes(content.begin(), content.end());
    QCOMPARE(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
}

QTEST_GUILESS_MAIN(TestFuzzCorpus)
#include "tst_fuzz_corpus.moc"
