#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class QLocale;

namespace zelvan {

// The figures of the progress and statistics windows as text. No widgets: the windows put
// these strings into their labels, and tests check them directly.

// The user's decimal separator, as the two-decimal figures write it.
std::string DecimalSeparatorOf(const QLocale& locale);

// A value rounded to two decimal places (ties to even on the hundredths), written in the
// shortest form: at most 15 significant digits, no trailing zeros, `decimalSeparator` for the
// point. 0.978515625 -> "0.98", 1.5 -> "1.5", 2.0 -> "2".
std::string TwoDecimalsText(double value, std::string_view decimalSeparator);

// The unit words of a size. The refresh form uses these fixed ones; the completion form the
// looked-up texts for "KiB" and "MiB".
struct SizeUnits {
    std::string kib = "KiB";
    std::string mib = "MiB";
};

// A size given in KiB: up to 1001 the whole number of KiB, from 1002 on the MiB to two decimals
// (the change comes at 1001/1002, not at 1024). "1001 KiB", "0.98 MiB", "1.5 MiB".
std::string SizeText(std::int64_t kib, std::string_view decimalSeparator, const SizeUnits& units = {});

// The output's share of the input in percent, to two decimals: output / (input / 100).
// The caller makes sure the input is above 0.
std::string OutputShareText(std::int64_t outputKiB, std::int64_t inputKiB, std::string_view decimalSeparator);

// The output-size label: "500 KiB (25%)".
std::string OutputSizeText(std::int64_t outputKiB, std::int64_t inputKiB, std::string_view decimalSeparator,
                           const SizeUnits& units = {});

// Elapsed time in seconds to two decimals followed by a space and the unit: 7500 ms -> "7.5 s".
std::string ElapsedText(std::int64_t milliseconds, std::string_view decimalSeparator, std::string_view unit = "s");

// The statistics window's data total: "1001 KiB" up to 1001, else whole MiB, truncated
// ("0 MiB" for 1002, "1 MiB" for 2047, "2 MiB" for 2048).
std::string StatisticsSizeText(std::int64_t kib);

}  // namespace zelvan
