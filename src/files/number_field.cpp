#include "files/number_field.h"

#include <cmath>
#include <cstdlib>

NumberField read_number_slow(const char* begin, const char* end, const char** field_end) {
    const char* stop = begin;
    while (stop < end && !is_field_blank(*stop)) {
        ++stop;
    }
    *field_end = stop;
    const char* digits = begin;
    if (digits + 1 < stop && *digits == '+' && digits[1] != '-' && digits[1] != '+') {
        ++digits;
    }
    double value = 0.0;
    const auto [next, error] = std::from_chars(digits, stop, value);
    if (next != stop || next == digits) {
        return {NumberField::kNotANumber, 0.0};
    }
    if (error == std::errc::result_out_of_range) {
        // Too small rounds to 0 (or to the nearest subnormal), as the decimal means; too large
        // has no double.
        const double rounded = std::strtod(std::string(digits, stop).c_str(), nullptr);
        if (std::fabs(rounded) < 1.0) {
            return {NumberField::kNumber, rounded};
        }
        return {NumberField::kTooLarge, 0.0};
    }
    if (error != std::errc() || !std::isfinite(value)) {
        return {NumberField::kNotANumber, 0.0};
    }
    return {NumberField::kNumber, value};
}

NumberField read_number_field(const char* begin, const char* end) {
    const char* field_end = nullptr;
    const NumberField number = read_delimited_number(begin, end, &field_end);
    // A blank inside the field ends the number early: the rest is text after it.
    if (field_end != end) {
        return {NumberField::kNotANumber, 0.0};
    }
    return number;
}
