#pragma once
// The wire layout of values: what SendData appends for each kind and how
// GetData builds a value back from bytes. Numbers are little-endian; text is one
// byte per character in Windows-1252.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/Variant.h"

namespace toruna::net {

// Appends the bytes of value to out. False (and nothing appended) for a kind
// that has no wire layout (Empty, Null, Object, arrays other than Byte, ...).
bool AppendVariantBytes(const Variant& value, std::vector<uint8_t>& out);

// Size in bytes of a number kind (Integer 2, Long 4, Single 4, Double 8,
// Currency 8, Date 8, Boolean 2, Byte 1); 0 for every other kind.
size_t NumberKindSize(int32_t type);

// A value of the given kind built from bytes: String and Byte array take all
// count bytes; number kinds need count >= NumberKindSize(type).
Variant VariantFromBytes(int32_t type, const uint8_t* bytes, size_t count);

}  // namespace toruna::net
