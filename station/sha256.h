// SHA-256 of a byte string, as 64 lower-case hexadecimal digits (the image's hash in the record).
#ifndef KORVANE_STATION_SHA256_H
#define KORVANE_STATION_SHA256_H

#include <string>
#include <string_view>

std::string Sha256Hex(std::string_view data);

#endif  // KORVANE_STATION_SHA256_H
