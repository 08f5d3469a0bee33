#include "number_text.h"

#include <charconv>
#include <cstdlib>

namespace kestrix {

std::string shortest_text(double x) {
    // The shortest round-trip digits, in scientific form: "-1.2345e-07".
    char buf[40];
    char* end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific).ptr;
    const std::string sci(buf, size_t(end - buf));
    const size_t e = sci.find('e');
    const bool negative = sci[0] == '-';
    std::string digits;
    for (size_t k = negative; k < e; ++k)
        if (sci[k] != '.') digits += sci[k];
    const int exponent = std::atoi(sci.c_str() + e + 1);
    std::string out = negative ? "-" : "";
    if (exponent < -4 || exponent >= 16) {  // Python's switch to exponent notation
        out += digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        const int magnitude = std::abs(exponent);
        out += std::string(exponent < 0 ? "e-" : "e+") + (magnitude < 10 ? "0" : "") +
               std::to_string(magnitude);
    } else if (exponent < 0) {
        out += "0." + std::string(-exponent - 1, '0') + digits;
    } else {
        const size_t whole = size_t(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits + std::string(whole - digits.size(), '0') + ".0";
        } else {
            out += digits.substr(0, whole) + "." + digits.substr(whole);
        }
    }
    return out;
}

}  // namespace kestrix
