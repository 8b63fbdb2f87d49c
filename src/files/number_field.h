#pragma once

// The one reader of numbers in input files (trait and numeric covariates of the phenotype file,
// the values of a kinship text file), so that a field means the same number in every file.
// A number is the whole field: an optional sign, digits with an optional decimal point, an
// optional exponent (`250`, `-1.5e2`, `.5`, `+3`). Trailing text (`12kg`, `53,682`),
// hexadecimal (`0x40`), `inf`, `nan` and an empty field are not numbers. A value below the
// smallest normal double is read as it is (`1e-320`, a subnormal); one too small even for that
// reads as what the decimal rounds to, 0 (`1e-400`); one beyond the largest double (`1e400`) is
// refused as too large.

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

struct NumberField {
    enum Kind { kNumber, kNotANumber, kTooLarge };
    Kind kind = kNotANumber;
    double value = 0.0;
};

// The separators of the fields that read_delimited_number reads.
inline bool is_field_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// What read_delimited_number does past the plain case: a value out of range, a field that is
// not a number; `*field_end` receives the end of the field.
NumberField read_number_slow(const char* begin, const char* end, const char** field_end);

// The field that starts at `begin` and runs to the first blank or `end`; `*field_end` receives
// its end. Values of a kinship line are read one after another this way.
inline NumberField read_delimited_number(const char* begin, const char* end, const char** field_end) {
    // from_chars reads neither a leading '+' nor (with the general format) hexadecimal.
    if (begin < end && *begin != '+') {
        double value = 0.0;
        const auto [next, error] = std::from_chars(begin, end, value);
        // "inf" and "nan" are no numbers of a file.
        if (error == std::errc() && (next == end || is_field_blank(*next)) && std::isfinite(value)) {
            *field_end = next;
            return {NumberField::kNumber, value};
        }
    }
    return read_number_slow(begin, end, field_end);
}

// [begin, end) as one whole field (blanks included are part of it, and so refused).
NumberField read_number_field(const char* begin, const char* end);
inline NumberField read_number_field(const std::string& field) {
    return read_number_field(field.data(), field.data() + field.size());
}
