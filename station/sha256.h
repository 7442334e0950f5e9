// SHA-256 of a byte string, as 64 lower-case hexadecimal digits (the image's hash in the record).
#pragma once

#include <string>
#include <string_view>

namespace station {

std::string Sha256Hex(std::string_view data);

}  // namespace station
