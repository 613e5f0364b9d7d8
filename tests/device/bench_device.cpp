#include "Device.h"

#include <QtTest>

// Decode cost of what the worker reads from every new unit: the first 2048 bytes of flash and the 512-byte
// OTP area. Run with -callgrind for instruction counts that do not depend on the machine's load.
class BenchDevice : public QObject {
    Q_OBJECT

    static QByteArray field(const QByteArray& text) { return text.leftJustified(32, '\0', true); }

private slots:
    void decodeFlashHead() {
        // Block as late as it may be, so that both marker searches scan almost the whole head.
        QByteArray block =
            QByteArray("\x12\x47\x23\x01\x04\xff\xff\xff", 8) + field("Lx-50 application") + field("2.4.0");
        for (int i = 0; i < 9; ++i)
            block += field("key" + QByteArray::number(i)) + field("value" + QByteArray::number(i));
        block += QByteArray("\x13\x47\x23\x01", 4);
        QByteArray data(2048, '\x5a');
        data.replace(1948 - (block.size() - 4), block.size(), block);
        Device::FW_Info info;
        QBENCHMARK {
            info = Device::make_FW_Info(data);
        }
        QVERIFY(info.valid);
        QCOMPARE(int(info.details.size()), 9);
    }

    void decodeOTPArea() {
        // Entry in the last slot behind written slots: the all-0xFF check stops early, the backward search
        // finds the marker at once.
        QByteArray data(512, '\x00');
        data.replace(496, 8, QByteArray("\x11\x47\x23\x01\x04\xff\xff\xff", 8));
        Device::OTP_Info info;
        QBENCHMARK {
            info = Device::make_OTP_Info(data);
        }
        QVERIFY(info.valid);
    }

    // Worst case of the marker search: written, but no marker anywhere.
    void decodeOTPAreaNoMarker() {
        const QByteArray data(512, '\x00');
        Device::OTP_Info info;
        QBENCHMARK {
            info = Device::make_OTP_Info(data);
        }
        QVERIFY(!info.valid && !info.blank);
    }

    void decodeOTPAreaBlank() {
        const QByteArray data(512, '\xff');
        Device::OTP_Info info;
        QBENCHMARK {
            info = Device::make_OTP_Info(data);
        }
        QVERIFY(info.blank);
    }
};

QTEST_GUILESS_MAIN(BenchDevice)
#include "bench_device.moc"
