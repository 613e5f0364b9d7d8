#include "Device.h"

#include <QDebugStateSaver>
#include <QFile>

#include <algorithm>
#include <cstring>

namespace Device {

const Products products{
    {invalid, QStringLiteral("invalid"), QStringLiteral("Invalid"), QStringLiteral("N/A"),
     QStringLiteral("N/A")},
    {undefined, QStringLiteral("undefined"), QStringLiteral("Undefined"), QStringLiteral("?"),
     QStringLiteral("?")},
    {QARV, QStringLiteral("QARV"), QStringLiteral("Qarvell"), QStringLiteral("Lx-40"),
     QStringLiteral("Lx-40 Skylink")},
    {VOSK, QStringLiteral("VOSK"), QStringLiteral("Voskel"), QStringLiteral("Lx-50"),
     QStringLiteral("Veltaro Lx-50")},
    {HURM, QStringLiteral("HURM"), QStringLiteral("Hurmo"), QStringLiteral("K7"),
     QStringLiteral("K7 Skylink")},
    {K7W, QStringLiteral("K7W"), QStringLiteral("K7w"), QStringLiteral("K7 Workshop"),
     QStringLiteral("K7 Workshop")},
    {BRAN, QStringLiteral("BRAN"), QStringLiteral("Branok"), QStringLiteral("M3S"),
     QStringLiteral("Veltaro M3 & M3S")},
    {FENT, QStringLiteral("FENT"), QStringLiteral("Fentu"), QStringLiteral("M30"),
     QStringLiteral("Veltaro M30")},
    {GILM, QStringLiteral("GILM"), QStringLiteral("Gilmo"), QStringLiteral("M5"),
     QStringLiteral("Veltaro M5")},
    {DRAV, QStringLiteral("DRAV"), QStringLiteral("Dravenu"), QStringLiteral("R20 or R20S"),
     QStringLiteral("Veltaro R20S & R20 series")},
    {unknown, QStringLiteral("unknown"), QStringLiteral("Unknown"), QStringLiteral("unknown"),
     QStringLiteral("unknown")},
};

Products::const_iterator Products::find(Type type) const {
    return std::find_if(begin(), end(), [type](const Product& p) { return p.type == type; });
}

Products::const_iterator Products::find(unsigned char type_byte) const {
    return find(static_cast<Type>(type_byte));
}

Products::const_iterator Products::find(const QString& code) const {
    return std::find_if(begin(), end(), [&code](const Product& p) { return p.code == code; });
}

bool is_valid(Type type) {
    return type != invalid && type != undefined;
}

bool is_known(Type type) {
    return is_valid(type) && type != unknown;
}

Type to_Type(unsigned char type_byte) {
    const auto row = products.find(type_byte);
    return row == products.end() ? unknown : row->type;
}

Type to_Type(const QString& code) {
    if (code.isEmpty())
        return invalid;
    const auto row = products.find(code);
    return row == products.end() ? unknown : row->type;
}

QString to_QString(Type type) {
    const auto row = products.find(type);
    return row == products.end() ? QStringLiteral("impossible type") : row->code;
}

std::string to_string(Type type) {
    return to_QString(type).toStdString();
}

std::ostream& operator<<(std::ostream& os, Type type) {
    return os << to_string(type);
}

namespace {

// Writes text unquoted and puts the stream's quoting back as it was.
QDebug write_unquoted(QDebug dbg, const QString& text) {
    QDebugStateSaver saver(dbg);
    dbg.noquote() << text;
    return dbg;
}

QString hex2(int byte) {
    return QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
}

QString name_of(Type type, QString Product::*field) {
    const auto row = products.find(type);
    return row == products.end() ? QString() : (*row).*field;
}

} // namespace

QDebug operator<<(QDebug dbg, Type type) {
    return write_unquoted(dbg, to_QString(type));
}

ProductInfo::operator QString() const {
    QString text = QStringLiteral("ProductInfo: %1 (%2)").arg(to_QString(type)).arg(int(type));
    const bool reserved_used =
        std::any_of(reserved.begin(), reserved.end(), [](std::uint8_t b) { return b != 0xFF; });
    if (type == unknown || reserved_used)
        text += QStringLiteral(" [%1 %2 %3 %4]")
                    .arg(hex2(raw_type), hex2(reserved[0]), hex2(reserved[1]), hex2(reserved[2]));
    return text;
}

QString ProductInfo::product_name() const {
    return name_of(type, &Product::product_name);
}

QString ProductInfo::product_name_full() const {
    return name_of(type, &Product::product_name_full);
}

ProductInfo make_ProductInfo(ProductInfoRaw raw) {
    ProductInfo info;
    info.type = to_Type(raw.type_byte);
    info.reserved = raw.reserved;
    info.raw_type = raw.type_byte;
    return info;
}

bool operator==(const ProductInfo& a, const ProductInfo& b) {
    return a.type == b.type;
}

bool operator!=(const ProductInfo& a, const ProductInfo& b) {
    return !(a == b);
}

QDebug operator<<(QDebug dbg, const ProductInfo& info) {
    return write_unquoted(dbg, info);
}

// ---- Firmware information block ---------------------------------------------------------------------

namespace {

constexpr int field_size = 32;
constexpr int header_size = 72; // marker, product word, name, revision
constexpr int pair_size = 64;   // key and value fields
constexpr int last_marker_pos = 1948;

const QByteArray fw_begin_marker("\x12\x47\x23\x01", 4);
const QByteArray fw_end_marker("\x13\x47\x23\x01", 4);
const QByteArray otp_marker("\x11\x47\x23\x01", 4);

constexpr int otp_entry_size = 16;
constexpr int otp_last_marker_pos = 497;

// Product word at pos; the caller guarantees four bytes.
ProductInfoRaw raw_word_at(const QByteArray& data, int pos) {
    ProductInfoRaw raw;
    raw.type_byte = static_cast<std::uint8_t>(data.at(pos));
    for (int k = 0; k < 3; ++k)
        raw.reserved[k] = static_cast<std::uint8_t>(data.at(pos + 1 + k));
    return raw;
}

QByteArray read_file(const QString& file_path, bool* ok) {
    QFile file(file_path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

} // namespace

int local_strlen(char const* text) {
    for (int n = 0; n < field_size; ++n)
        if (text[n] == '\0')
            return n;
    return -1;
}

QString get_string(const QByteArray& data, int pos) {
    if (pos < 0 || pos >= data.size())
        return QStringLiteral("");
    // A field cut short by the end of the data ends there, as if a NUL followed.
    char field[field_size] = {};
    const int available = std::min(field_size, data.size() - pos);
    std::memcpy(field, data.constData() + pos, static_cast<size_t>(available));
    const int length =
        available < field_size ? static_cast<int>(qstrnlen(field, uint(available))) : local_strlen(field);
    if (length < 0)
        return QString();
    return QString::fromUtf8(field, length);
}

FW_Info make_FW_Info(QByteArray data) {
    const int index_beg = data.indexOf(fw_begin_marker);
    const int index_end = data.indexOf(fw_end_marker);
    if (index_beg < 0 || index_end < 0) {
        qDebug() << "index_beg = " << index_beg << "index_end = " << index_end;
        return {};
    }
    if (index_beg > last_marker_pos || index_end > last_marker_pos)
        return {};
    const int nr_of_pair_bytes = index_end - index_beg - header_size;
    if (index_end - index_beg < header_size || nr_of_pair_bytes % pair_size != 0) {
        qDebug() << "index_beg = " << index_beg << "index_end = " << index_end
                 << "nr_of_pair_bytes =" << nr_of_pair_bytes;
        return {};
    }
    // Every field lies between the two markers, so no read below passes the end marker.
    FW_Info info;
    info.product_info = make_ProductInfo(raw_word_at(data, index_beg + 4));
    info.name = get_string(data, index_beg + 8);
    info.revision = get_string(data, index_beg + 40);
    for (int i = 0; i < nr_of_pair_bytes / pair_size; ++i) {
        QString key = get_string(data, index_beg + header_size + pair_size * i);
        QString value = get_string(data, index_beg + header_size + field_size + pair_size * i);
        if (key.isEmpty() || value.isEmpty())
            break;
        info.details.emplace_back(std::move(key), std::move(value));
    }
    info.valid = true;
    return info;
}

FW_Info make_FW_Info(QString file_path) {
    bool ok = false;
    const QByteArray data = read_file(file_path, &ok);
    return ok ? make_FW_Info(data) : FW_Info();
}

FW_Info::operator QString() const {
    QString text = QStringLiteral("FW info:\n");
    if (!valid)
        return text + QStringLiteral("\tInvalid");
    text += QStringLiteral("  Type: %1\n").arg(QString(product_info));
    text += QStringLiteral("  Name: ") + name + QLatin1Char('\n');
    text += QStringLiteral("  Rev.: ") + revision + QLatin1Char('\n');
    text += QStringLiteral("  Details:");
    for (const auto& pair : details)
        text += QStringLiteral("\n    ") + pair.first.leftJustified(31) + QStringLiteral(": ") +
                pair.second.leftJustified(31);
    return text;
}

QDebug operator<<(QDebug dbg, const FW_Info& info) {
    return write_unquoted(dbg, info);
}

// ---- OTP entry ----------------------------------------------------------------------------------------

OTP_Info make_OTP_Info(const QByteArray& data) {
    OTP_Info info;
    if (std::all_of(data.begin(), data.end(), [](char c) { return static_cast<std::uint8_t>(c) == 0xFF; })) {
        info.blank = true;
        return info;
    }
    const int pos = data.lastIndexOf(otp_marker);
    // An entry cut short by the end of the data is no entry: its product word cannot be trusted.
    if (pos < 0 || pos % otp_entry_size != 0 || pos > otp_last_marker_pos ||
        pos + otp_entry_size > data.size())
        return info;

    ProductInfoRaw raw = raw_word_at(data, pos + 4);
    if (raw.type_byte == 35) // an older code of the HURM type
        raw.type_byte = 43;
    info.product_info = make_ProductInfo(raw);
    for (int k = 0; k < 8; ++k)
        info.extra[k] = static_cast<std::uint8_t>(data.at(pos + 8 + k));
    info.valid = is_valid(info.product_info.type);
    if (!info.valid) {
        qInfo() << "Device not used, has invalid info in its OTP info.";
        return info;
    }
    if (!is_known(info.product_info.type)) {
        qInfo() << "Unknown device type according to OTP info, " << info.product_info;
        info.product_info.type = invalid;
        info.valid = false;
    }
    return info;
}

OTP_Info make_OTP_Info(QString file_path) {
    bool ok = false;
    const QByteArray data = read_file(file_path, &ok);
    return ok ? make_OTP_Info(data) : OTP_Info();
}

QString OTP_Info::product_name() const {
    return product_info.product_name();
}

OTP_Info::operator QString() const {
    return QStringLiteral("OTP info:\nMarker %1\nProduct: %2\n")
        .arg(valid ? QStringLiteral("valid") : QStringLiteral("invalid"), QString(product_info));
}

QDebug operator<<(QDebug dbg, const OTP_Info& info) {
    return write_unquoted(dbg, info);
}

} // namespace Device
