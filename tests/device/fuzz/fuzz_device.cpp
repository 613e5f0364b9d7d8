// libFuzzer target: the decoders must accept any bytes without reading outside them. Build with
// -DFUZZ=ON and clang; run e.g. `fuzz_device -max_len=4096 -runs=1000000`.

#include "Device.h"

#include <QtGlobal>

#include <cstddef>
#include <cstdint>

namespace {
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const bool silenced = (qInstallMessageHandler(quiet), true);
    Q_UNUSED(silenced);
    // An exact-size copy, so that any read past the end hits the sanitizer's redzone.
    const QByteArray data(reinterpret_cast<const char*>(bytes), int(size));
    const Device::FW_Info fw = Device::make_FW_Info(data);
    const Device::OTP_Info otp = Device::make_OTP_Info(data);
    // The text forms walk every decoded field.
    volatile int length = QString(fw).size() + QString(otp).size();
    if (size > 0)
        length = length + Device::get_string(data, int(bytes[0]) * int(size) / 256).size();
    return 0;
}
