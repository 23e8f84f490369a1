// Numbers as the messages and repr() print them: the shortest decimal that reads back exactly,
// in plain positional form for messages and in Python's repr() style for the type's text form.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tarna {

// Shortest decimal digits that read back exactly: value = 0.<digits> * 10^exponent.
struct Decimal {
    std::string digits;
    int exponent = 0;
};

inline Decimal shortest_decimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific);
    const std::string text(buffer, result.ptr);
    const std::size_t e = text.find('e');
    Decimal decimal;
    for (std::size_t i = 0; i < e; ++i) {
        if (text[i] != '.') decimal.digits += text[i];
    }
    decimal.exponent = std::atoi(text.c_str() + e + 1) + 1;
    return decimal;
}

// Plain positional notation of the shortest digits: 1 for 1.0, 0.1, 12.5, never an exponent.
inline std::string positional(const Decimal& decimal, bool keep_point_zero) {
    const std::string& digits = decimal.digits;
    const int exponent = decimal.exponent;
    std::string text;
    if (exponent <= 0) {
        text = "0." + std::string(std::size_t(-exponent), '0') + digits;
    } else if (std::size_t(exponent) >= digits.size()) {
        text = digits + std::string(std::size_t(exponent) - digits.size(), '0');
        if (keep_point_zero) text += ".0";
    } else {
        text = digits.substr(0, std::size_t(exponent)) + "." + digits.substr(std::size_t(exponent));
    }
    return text;
}

// Numbers in messages: shortest round-trip form, never an exponent, integral values bare.
inline std::string format_plain(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) return sign + "0";
    return sign + positional(shortest_decimal(value), false);
}

// Numbers in repr(): integral values keep ".0"; below 1e-4 or from 1e16 on, exponent form with
// no plus sign and no leading zeros (1e-5, 1.5e16).
inline std::string format_repr(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    const std::string sign = std::signbit(value) ? "-" : "";
    if (value == 0) return sign + "0.0";
    const double magnitude = std::fabs(value);
    const Decimal decimal = shortest_decimal(value);
    if (magnitude < 1e-4 || magnitude >= 1e16) {
        std::string mantissa = decimal.digits.substr(0, 1);
        if (decimal.digits.size() > 1) mantissa += "." + decimal.digits.substr(1);
        return sign + mantissa + "e" + std::to_string(decimal.exponent - 1);
    }
    return sign + positional(decimal, true);
}

}  // namespace tarna
