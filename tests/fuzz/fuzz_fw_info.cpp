// libFuzzer target: the firmware information block decoder takes any bytes, from a unit's flash or a file.

#include "Device.h"
#include "fuzz_target.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::silence_qt_messages();
    // A view of the fuzzer's exact-size buffer, without the terminating NUL a copy would add, so that a
    // read of even one byte past the end hits the sanitizer's redzone.
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), int(size));

    const Device::FW_Info info = Device::make_FW_Info(data);
    const QString text = info;
    if (!info.valid) {
        FUZZ_CHECK(text == QStringLiteral("FW info:\n\tInvalid"));
        FUZZ_CHECK(info.product_info.type == Device::invalid && info.details.empty());
    } else {
        // Every text comes from a 32-byte field that needs its NUL: at most 31 bytes, so 31 characters.
        FUZZ_CHECK(info.name.size() <= 31 && info.revision.size() <= 31);
        for (const auto& pair : info.details) {
            FUZZ_CHECK(!pair.first.isEmpty() && pair.first.size() <= 31);
            FUZZ_CHECK(!pair.second.isEmpty() && pair.second.size() <= 31);
        }
        FUZZ_CHECK(text.startsWith(QStringLiteral("FW info:\n  Type: ProductInfo: ")));
    }

    // The field reader on its own, at a position chosen by the input, in and around the data.
    if (size > 0) {
        const qint64 n = qint64(size);
        const QString field = Device::get_string(data, int(qint64(bytes[0]) * n / 128 - n / 2));
        FUZZ_CHECK(field.size() <= 31);
    }
    return 0;
}
