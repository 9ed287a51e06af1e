#pragma once
#include <locale>
#include <string>

// A C++ locale with a decimal comma and '.' grouping, as de_DE gives, built in so
// no system locale needs to be installed.
inline std::locale decimal_comma_locale() {
    struct CommaPunct : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
        char do_thousands_sep() const override { return '.'; }
        std::string do_grouping() const override { return "\3"; }
    };
    return std::locale(std::locale::classic(), new CommaPunct);
}
