#include "net/VariantBytes.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "base/Cp1252.h"

namespace toruna::net {

namespace {

// Writes the value least significant byte first, whatever the host's order.
template <typename T>
void AppendLittleEndian(T value, std::vector<uint8_t>& out) {
  using U = std::make_unsigned_t<T>;
  U bits = static_cast<U>(value);
  for (size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<uint8_t>(bits & 0xFF));
    bits = static_cast<U>(bits >> 8);
  }
}

template <typename T>
T ReadLittleEndian(const uint8_t* bytes) {
  using U = std::make_unsigned_t<T>;
  U bits = 0;
  for (size_t i = sizeof(T); i-- > 0;) bits = static_cast<U>((bits << 8) | bytes[i]);
  return static_cast<T>(bits);
}

}  // namespace

size_t NumberKindSize(int32_t type) {
  switch (type) {
    case vbInteger:
    case vbBoolean:
      return 2;
    case vbLong:
    case vbSingle:
      return 4;
    case vbDouble:
    case vbCurrency:
    case vbDate:
      return 8;
    case vbByte:
      return 1;
    default:
      return 0;
  }
}

bool AppendVariantBytes(const Variant& value, std::vector<uint8_t>& out) {
  switch (value.Type()) {
    case vbInteger:
      AppendLittleEndian<int16_t>(value.AsInteger(), out);
      return true;
    case vbLong:
      AppendLittleEndian<int32_t>(value.AsLong(), out);
      return true;
    case vbSingle:
      AppendLittleEndian<uint32_t>(std::bit_cast<uint32_t>(value.AsSingle()), out);
      return true;
    case vbDouble:
    case vbDate:
      AppendLittleEndian<uint64_t>(std::bit_cast<uint64_t>(value.AsDouble()), out);
      return true;
    case vbCurrency:
      AppendLittleEndian<int64_t>(value.AsCurrencyScaled(), out);
      return true;
    case vbBoolean:
      AppendLittleEndian<int16_t>(value.AsBoolean() ? -1 : 0, out);
      return true;
    case vbByte:
      out.push_back(value.AsByte());
      return true;
    case vbString: {
      std::vector<uint8_t> text = base::Cp1252::FromUtf8(value.AsString());
      out.insert(out.end(), text.begin(), text.end());
      return true;
    }
    case vbByteArray: {
      const std::vector<uint8_t>& bytes = value.AsBytes();
      out.insert(out.end(), bytes.begin(), bytes.end());
      return true;
    }
    default:
      return false;
  }
}

Variant VariantFromBytes(int32_t type, const uint8_t* bytes, size_t count) {
  if (type == vbString) return Variant(base::Cp1252::ToUtf8(bytes, count));
  if (type == vbByteArray) {
    return count == 0 ? Variant(std::vector<uint8_t>())
                      : Variant(std::vector<uint8_t>(bytes, bytes + count));
  }
  size_t size = NumberKindSize(type);
  if (size == 0 || count < size) return Variant();
  switch (type) {
    case vbInteger:
      return Variant(ReadLittleEndian<int16_t>(bytes));
    case vbLong:
      return Variant(ReadLittleEndian<int32_t>(bytes));
    case vbSingle:
      return Variant(std::bit_cast<float>(ReadLittleEndian<uint32_t>(bytes)));
    case vbDouble:
      return Variant(std::bit_cast<double>(ReadLittleEndian<uint64_t>(bytes)));
    case vbDate:
      return Variant::Date(std::bit_cast<double>(ReadLittleEndian<uint64_t>(bytes)));
    case vbCurrency:
      return Variant::Currency(ReadLittleEndian<int64_t>(bytes));
    case vbBoolean:
      return Variant(ReadLittleEndian<int16_t>(bytes) != 0);
    case vbByte:
      return Variant(bytes[0]);
    default:
      return Variant();
  }
}

}  // namespace toruna::net
