// libFuzzer target: the OTP block decoder takes any bytes read from a unit's OTP area.

#include "Device.h"
#include "fuzz_target.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::silence_qt_messages();
    // A view of the fuzzer's exact-size buffer, without the terminating NUL a copy would add, so that a
    // read of even one byte past the end hits the sanitizer's redzone.
    const QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes), int(size));

    const Device::OTP_Info info = Device::make_OTP_Info(data);
    const QString text = info;
    const bool erased = std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0xFF; });
    FUZZ_CHECK(info.blank == erased);
    FUZZ_CHECK(!info.valid || (Device::is_known(info.product_info.type) && !info.blank));
    FUZZ_CHECK(info.valid || !Device::is_known(info.product_info.type));
    FUZZ_CHECK(text.startsWith(info.valid
                                   ? QStringLiteral("OTP info:\nMarker valid\nProduct: ProductInfo: ")
                                   : QStringLiteral("OTP info:\nMarker invalid\nProduct: ProductInfo: ")));
    return 0;
}
