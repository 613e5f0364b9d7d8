// Makes firmware images for the program and its tests: a raw flash image shaped like a Cortex-M
// application (vector table, code-like filler, firmware information block) and, optionally, the same
// image as a DfuSe file. Deterministic: the same options always give the same bytes.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QStringList>
#include <QtEndian>

#include <cstdint>
#include <cstdio>

namespace {

constexpr quint32 flash_base = 0x08000000;
constexpr quint32 ram_top = 0x20020000;
constexpr int vector_count = 98; // core + device vectors of the target MCU family

const QByteArray begin_marker("\x12\x47\x23\x01", 4);
const QByteArray end_marker("\x13\x47\x23\x01", 4);

void put_u32(QByteArray& data, int pos, quint32 value) {
    qToLittleEndian(value, data.data() + pos);
}

// 32-byte text field: at most 31 bytes of text, NUL padded.
void put_text(QByteArray& data, int pos, const QByteArray& text) {
    QByteArray field = text.left(31);
    field.append(QByteArray(32 - field.size(), '\0'));
    data.replace(pos, 32, field);
}

quint32 next_random(quint32& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Thumb-like halfwords: mostly 16-bit encodings of common instructions, so that the image compresses
// and looks like code rather than noise.
void fill_code(QByteArray& data, int from) {
    static const quint16 opcodes[] = {0x4600, 0x6800, 0x6000, 0x2000, 0x3000, 0xB500, 0xBD00, 0xE000,
                                      0xF000, 0x4770, 0x1C00, 0x4200, 0xD000, 0x7800, 0x7000, 0x8800};
    quint32 state = 0x2545F491;
    for (int pos = from; pos + 1 < data.size(); pos += 2) {
        const quint32 r = next_random(state);
        const quint16 op = opcodes[r & 0xF] | quint16((r >> 8) & 0xFF);
        qToLittleEndian(op, data.data() + pos);
    }
}

void scrub_markers(QByteArray& data, int from, int to) {
    // Filler must never look like an information block marker.
    for (int pos = from; pos + 4 <= to; ++pos) {
        if (data.mid(pos, 4) == begin_marker || data.mid(pos, 4) == end_marker)
            data[pos + 3] = '\x00';
    }
}

quint32 dfu_crc(const QByteArray& data) {
    quint32 crc = 0xFFFFFFFF;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc; // the DFU suffix stores the register without the final inversion
}

QByteArray make_dfuse(const QByteArray& image) {
    QByteArray element(8, '\0');
    put_u32(element, 0, flash_base);
    put_u32(element, 4, quint32(image.size()));
    element += image;

    QByteArray target(274, '\0');
    target.replace(0, 6, "Target");
    target[6] = 0;                                // alternate setting
    put_u32(target, 7, 1);                        // named
    target.replace(11, 14, "Internal Flash");     // NUL padded to 255 bytes
    put_u32(target, 266, quint32(element.size()));
    put_u32(target, 270, 1);                      // one element

    QByteArray file(11, '\0');
    file.replace(0, 5, "DfuSe");
    file[5] = 1;
    put_u32(file, 6, quint32(11 + target.size() + element.size()));
    file[10] = 1; // one target
    file += target;
    file += element;

    QByteArray suffix(16, '\0');
    qToLittleEndian(quint16(0xFFFF), suffix.data() + 0); // bcdDevice: any
    qToLittleEndian(quint16(0xDF11), suffix.data() + 2);
    qToLittleEndian(quint16(0x0483), suffix.data() + 4);
    qToLittleEndian(quint16(0x011A), suffix.data() + 6);
    suffix.replace(8, 3, "UFD");
    suffix[11] = 16;
    file += suffix.left(12);
    QByteArray crc(4, '\0');
    put_u32(crc, 0, dfu_crc(file));
    return file + crc;
}

bool write_file(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(data) != data.size()) {
        std::fprintf(stderr, "fwgen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Makes a raw firmware image (and its DfuSe form) with an information block.");
    parser.addHelpOption();
    const QCommandLineOption out_opt("out", "Raw image to write.", "path");
    const QCommandLineOption dfu_opt("dfu", "DfuSe file to write as well.", "path");
    const QCommandLineOption type_opt("type", "Product type byte (0-255).", "n", "4");
    const QCommandLineOption reserved_opt("reserved", "The three reserved bytes of the product word, hex.",
                                          "hex", "ffffff");
    const QCommandLineOption name_opt("name", "Name text.", "text", "Lx-50 application");
    const QCommandLineOption rev_opt("revision", "Revision text.", "text", "2.4.0");
    const QCommandLineOption size_opt("size", "Image size in bytes.", "n", "131072");
    const QCommandLineOption pairs_opt("pairs", "Number of key/value pairs (at most 9 distinct ones, then repeated).",
                                       "n", "9");
    const QCommandLineOption offset_opt("block-offset", "Where the information block begins.", "n", "428");
    const QCommandLineOption no_block_opt("no-block", "Leave the information block out.");
    const QCommandLineOption no_end_opt("no-end-marker", "Leave the end marker out.");
    parser.addOptions({out_opt, dfu_opt, type_opt, reserved_opt, name_opt, rev_opt, size_opt, pairs_opt,
                       offset_opt, no_block_opt, no_end_opt});
    parser.process(app);
    if (!parser.isSet(out_opt))
        parser.showHelp(2);

    const int size = parser.value(size_opt).toInt();
    const int offset = parser.value(offset_opt).toInt();
    const int pairs = parser.value(pairs_opt).toInt();
    const int block_size = 72 + 64 * pairs + 4;
    if (size < vector_count * 4 || size % 4 != 0 ||
        (!parser.isSet(no_block_opt) && (offset < 0 || offset + block_size > size))) {
        std::fprintf(stderr, "fwgen: the block does not fit the image\n");
        return 2;
    }

    QByteArray image(size, '\0');
    fill_code(image, vector_count * 4);
    // Vector table: initial stack pointer in RAM, reset handler and the rest inside the image (Thumb bit set).
    const quint32 code_start = flash_base + ((offset + block_size + 0xFF) & ~0xFFu);
    put_u32(image, 0, ram_top);
    put_u32(image, 4, code_start | 1);
    for (int i = 2; i < vector_count; ++i)
        put_u32(image, 4 * i, (code_start + 0x40) | 1);
    scrub_markers(image, 0, size);

    if (!parser.isSet(no_block_opt)) {
        QByteArray block(block_size, '\0');
        block.replace(0, 4, begin_marker);
        block[4] = char(parser.value(type_opt).toInt());
        const QByteArray reserved = QByteArray::fromHex(parser.value(reserved_opt).toLatin1()).leftJustified(3, '\xff', true);
        block.replace(5, 3, reserved);
        put_text(block, 8, parser.value(name_opt).toUtf8());
        put_text(block, 40, parser.value(rev_opt).toUtf8());
        static const char* const details[][2] = {
            {"build_date", "2026-11-20"},      {"build_host", "ci-runner-04"},
            {"compiler", "arm-none-eabi-gcc 12.2.1"}, {"source_rev", "a41c9e07"},
            {"board", "LX50-MAIN rev C"},      {"bootloader", "1.3"},
            {"build_type", "release"},         {"flash_layout", "app@0x08000000"},
            {"protocol", "3"}};
        for (int i = 0; i < pairs; ++i) {
            put_text(block, 72 + 64 * i, details[i % 9][0]);
            put_text(block, 104 + 64 * i, details[i % 9][1]);
        }
        if (!parser.isSet(no_end_opt))
            block.replace(72 + 64 * pairs, 4, end_marker);
        else
            block.replace(72 + 64 * pairs, 4, QByteArray(4, '\0'));
        image.replace(offset, block_size, block);
    }

    if (!write_file(parser.value(out_opt), image))
        return 1;
    if (parser.isSet(dfu_opt) && !write_file(parser.value(dfu_opt), make_dfuse(image)))
        return 1;
    return 0;
}
