#pragma once
// Standard Base64 (RFC 4648, section 4): the "+/" alphabet, "=" padding, no
// line breaks. Hand-written because none of the libraries we link offers it
// apart from OpenSSL, which would be a large dependency for twenty lines.

#include <cstdint>
#include <span>
#include <string>

namespace vantor {

std::string base64Encode(std::span<const uint8_t> bytes);

}  // namespace vantor
