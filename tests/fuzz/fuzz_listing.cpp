// libFuzzer target: the listing parser and the scan verdict take whatever the tool printed.

#include "DFU.h"
#include "fuzz_target.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::silence_qt_messages();
    // The bytes as the runner hands the tool's output over: UTF-8 up to the first NUL.
    QByteArray output(reinterpret_cast<const char*>(bytes), int(size));
    const int nul = output.indexOf('\0');
    if (nul >= 0)
        output.truncate(nul);
    const QString listing = QString::fromUtf8(output);

    const DfuUtilParser parser(listing);
    const DFU::ScanResult scan = DFU::scan_for_devices(listing);

    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]+$"));
    const std::size_t found = parser.serials.size();
    FUZZ_CHECK(!parser.status_as_string().isEmpty());
    FUZZ_CHECK(parser.nr_of_devices == 0 || std::size_t(parser.nr_of_devices) == found);
    FUZZ_CHECK(parser.status != DfuUtilParser::one_dfu_device || found == 1);
    FUZZ_CHECK(parser.status != DfuUtilParser::invalid_dfu_device || found == 1);
    FUZZ_CHECK(parser.status != DfuUtilParser::multiple_dfu_devices || found > 1);
    for (std::size_t i = 0; i < found; ++i) {
        const QString& serial = parser.serials[i];
        FUZZ_CHECK(hex.match(serial).hasMatch());
        FUZZ_CHECK(listing.contains(QStringLiteral("serial=\"") + serial + QLatin1Char('"')));
        FUZZ_CHECK(i == 0 || serial != parser.serials[i - 1]); // repeats of one unit's lines fold
    }
    FUZZ_CHECK((scan.code == 0) == (parser.status == DfuUtilParser::one_dfu_device));
    FUZZ_CHECK(scan.devices.size() == found);
    for (std::size_t i = 0; i < found; ++i)
        FUZZ_CHECK(scan.devices[i].serial == parser.serials[i]);
    return 0;
}
