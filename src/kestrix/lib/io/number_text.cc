#include "kestrix/lib/io/number_text.h"

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
    std::string out;
    if (negative) out.push_back('-');
    if (exponent < -4 || exponent >= 16) {  // Python's switch to exponent notation
        out.push_back(digits[0]);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        const int magnitude = std::abs(exponent);
        out.append(exponent < 0 ? "e-" : "e+");
        if (magnitude < 10) out.push_back('0');
        out.append(std::to_string(magnitude));
    } else if (exponent < 0) {
        out.append("0.").append(size_t(-exponent - 1), '0').append(digits);
    } else {
        const size_t whole = size_t(exponent) + 1;
        if (digits.size() <= whole) {
            out.append(digits).append(whole - digits.size(), '0').append(".0");
        } else {
            out.append(digits, 0, whole).append(".").append(digits, whole);
        }
    }
    return out;
}

}  // namespace kestrix
