#pragma once
// Format: renders numbers for people (sizes, rates, speeds, durations) in
// sweep reasons, limit labels and the inspector views. Pure functions: no
// locale, no clock, no digit grouping.
//
// Byte counts: 0 is "Zero KB"; below one kilobyte the exact count with "byte"
// or "bytes"; above it the largest unit the count reaches (KB, MB, GB, TB, PB,
// EB), rounded half away from zero to whole KB, one decimal for MB and two for
// GB and above, trailing zeros dropped ("1.5 MB", "2 GB"). A count that rounds
// up to a whole next unit is shown in that unit (1023.6 KB is "1 MB").
#include <cstdint>
#include <string>

namespace kelvane::Format {

// Renders a byte count in 1024 multiples (memory style); counts above the
// largest signed 64-bit value are shown as that value.
std::string bytes(uint64_t count);
// Renders a byte count in 1000 multiples (file style), as disk sizes are
// shown: 1000 bytes is "1 KB". Negative counts read as 0.
std::string fileBytes(int64_t count);
// Renders a byte count in 1000 multiples with three significant digits, trailing
// zeros kept so that columns of sizes read alike: "0 bytes", "1 byte", "999 bytes",
// "1.00 KB", "12.3 MB", "123 GB". A count that rounds up to 1000 of a unit is shown
// in the next one (999,999 bytes is "1.00 MB"). Negative counts read as 0.
std::string fileSize(int64_t count);
// Renders a transfer rate in file style plus "/s"; below half a byte per
// second (negatives and NaN included) "0 KB/s".
std::string rate(double bytesPerSecond);
// Renders bits per second as megabits: one decimal below 10, whole above.
// Negative, NaN and infinite values give "0".
std::string mbps(double bitsPerSecond);
// Renders milliseconds with one decimal below 10, whole above. Negative,
// NaN and infinite values read as 0.
std::string ms(double milliseconds);
// Renders whole seconds: "45s" under a minute, "12m" under an hour, else
// "1h 05m". Negative values read as 0; infinities and NaN as "0s".
std::string duration(double seconds);

}  // namespace kelvane::Format
