#include "station/record.h"

#include <cstdio>
#include <ctime>
#include <sstream>

namespace station {

namespace {

// The length of the UTF-8 sequence at text[i], 0 when it is none: no overlong form, no
// surrogate, nothing above U+10FFFF (RFC 3629).
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80;  // the second byte's range
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // overlong below U+0800
        high = lead == 0xED ? 0x9F : 0xBF;  // U+D800 to U+DFFF
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;   // overlong below U+10000
        high = lead == 0xF4 ? 0x8F : 0xBF;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (std::size_t k = i + 2; k < i + length; ++k) {
        if (byte(k) < 0x80 || byte(k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

std::string Escape(unsigned char c) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", c);
    return escape;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {  // NOLINT(bugprone-branch-clone): a control, unlike a Latin-1 byte
            out += Escape(c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (std::size_t length = Utf8Length(text, i); length != 0) {
            out.append(text.substr(i, length));
            i += length - 1;
        } else {
            out += Escape(c);  // Latin-1: the byte is the code point
        }
    }
    return out + "\"";
}

std::string IsoTime(WallClock::time_point when) {
    auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds % 1000));
    return text;
}

std::string RecordLine(const Load& load, const RecordImage& image) {
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", static_cast<unsigned>(image.address & 0xFF));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", Seconds(load.ended - load.started));
    std::ostringstream line;
    line << "{\"started\":" << JsonString(IsoTime(load.started_wall))
         << ",\"ended\":" << JsonString(IsoTime(load.ended_wall))
         << ",\"device\":" << JsonString(load.device) << ",\"address\":" << JsonString(address)
         << ",\"image\":" << JsonString(image.path) << ",\"image_size\":" << image.size
         << ",\"image_sha256\":" << JsonString(image.sha256)
         << ",\"image_changed\":" << (load.image_changed ? "true" : "false")
         << ",\"result\":" << (load.result ? std::to_string(*load.result) : "null")
         << ",\"meaning\":" << JsonString(load.meaning)
         << ",\"port_error\":" << (load.port_error ? JsonString(HexCode(*load.port_error)) : "null")
         << ",\"bytes_acknowledged\":" << load.acknowledged << ",\"seconds\":" << seconds
         << ",\"rebooted\":" << (load.rebooted ? "true" : "false") << ",\"loader_version\":"
         << (load.loader_version.empty() ? "null" : JsonString(load.loader_version))
         << ",\"console\":" << JsonString(load.console) << "}\n";
    return line.str();
}

}  // namespace station
