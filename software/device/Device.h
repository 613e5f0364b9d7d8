#pragma once

#include <QByteArray>
#include <QDebug>
#include <QString>

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Product types and the decoders of the two records that name a unit: the information block inside a
// firmware image and the entry in the unit's OTP area. The bytes come from a unit's memory or from a
// file, so the decoders trust none of them and never read outside the data they are given.
namespace Device {

// One-byte product type as stored in OTP and in the firmware information block. Unscoped so that both
// Device::Type::VOSK and Device::VOSK read naturally; the representation is fixed to one byte.
enum Type : unsigned char {
    invalid = 0,
    undefined = 255,
    QARV = 3,
    VOSK = 4,
    HURM = 43,
    K7W = 11,
    BRAN = 132,
    FENT = 30,
    GILM = 36,
    DRAV = 140,
    unknown = 254,
};

struct Product {
    Type type;
    QString code;
    QString code_name;
    QString product_name;
    QString product_name_full;
};

// The product table, in its fixed row order; the find members take the first matching row.
class Products : public std::vector<Product> {
public:
    using std::vector<Product>::vector;

    const_iterator find(Type type) const;
    const_iterator find(unsigned char type_byte) const;
    const_iterator find(const QString& code) const; // exact, case-sensitive match on code
};

extern const Products products;

bool is_valid(Type type);              // every value except invalid (0) and undefined (255)
bool is_known(Type type);              // the product rows only
Type to_Type(unsigned char type_byte); // a table code, else unknown
Type to_Type(const QString& code);     // "" gives invalid; a row's code gives its type, else unknown
QString to_QString(Type type);         // the row's code, or "impossible type"
std::string to_string(Type type);      // the same in UTF-8

std::ostream& operator<<(std::ostream& os, Type type);
QDebug operator<<(QDebug dbg, Type type); // unquoted; the stream's quoting is left as found

// A product word exactly as stored: type byte, then three reserved bytes (0xFF when unused).
struct ProductInfoRaw {
    std::uint8_t type_byte = 0;
    std::array<std::uint8_t, 3> reserved{{0xFF, 0xFF, 0xFF}};
};

struct ProductInfo {
    Type type = invalid;
    std::array<std::uint8_t, 3> reserved{{0xFF, 0xFF, 0xFF}};
    std::int32_t raw_type = 0; // the stored byte, kept when type is later overwritten

    operator QString() const;
    QString product_name() const;      // empty when no row has type
    QString product_name_full() const; // empty when no row has type
};

ProductInfo make_ProductInfo(ProductInfoRaw raw);

// Only the types are compared: reserved bytes and the raw byte do not make a different product.
bool operator==(const ProductInfo& a, const ProductInfo& b);
bool operator!=(const ProductInfo& a, const ProductInfo& b);

QDebug operator<<(QDebug dbg, const ProductInfo& info);

// Decoded firmware information block. A failed parse gives exactly the default value.
struct FW_Info {
    ProductInfo product_info;
    QString name;
    QString revision;
    std::vector<std::pair<QString, QString>> details;
    bool valid = false;

    operator QString() const;
};

FW_Info make_FW_Info(QByteArray data);
FW_Info make_FW_Info(QString file_path); // the default, silently, when the file cannot be read

// The 32-byte text field at pos; the end of data counts as a NUL, a field without NUL is a null string.
QString get_string(const QByteArray& data, int pos);
// 0 for an empty text, 1..31 for a text that ends within 32 bytes, -1 when the first 32 hold no NUL.
// Reads at most 32 bytes, which the caller must provide.
int local_strlen(char const* text);

QDebug operator<<(QDebug dbg, const FW_Info& info);

// Decoded OTP entry of a unit.
struct OTP_Info {
    ProductInfo product_info;
    std::array<std::uint8_t, 8> extra{}; // entry bytes 8..15, uninterpreted
    bool valid = false;
    bool blank = false; // the area was never written

    QString product_name() const; // short model name, empty for a type outside the table
    operator QString() const;
};

OTP_Info make_OTP_Info(const QByteArray& data);
OTP_Info make_OTP_Info(QString file_path); // the default (not blank), silently, when unreadable

QDebug operator<<(QDebug dbg, const OTP_Info& info);

} // namespace Device
