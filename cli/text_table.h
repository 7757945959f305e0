#pragma once
// TextTable: the aligned tables the command-line views print: a header row,
// columns padded to their widest cell (counted in characters, not bytes), numbers
// right-aligned, two spaces between columns.
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane::cli {

// Returns `text` fit for one line of a terminal: invalid UTF-8 becomes U+FFFD
// and control characters "?".
std::string shown(std::string_view text);

// Returns the local time of day of `at` as "14:05".
std::string clockTime(Date at, const Calendar& calendar);
// Returns the local date and time of `at` as "2026-03-05 14:05".
std::string localDateTime(Date at, const Calendar& calendar);

// Returns the number of characters (code points) of UTF-8 `text`.
size_t displayWidth(std::string_view text);

class TextTable final {
 public:
  enum class Align { left, right };
  struct Column {
    std::string title;
    Align align = Align::left;
  };

  explicit TextTable(std::vector<Column> columns) : columns_(std::move(columns)) {}

  // Adds a row; cells past the last column are dropped, missing ones are empty.
  // Every cell is passed through shown().
  void add(std::vector<std::string> cells);
  size_t size() const { return rows_.size(); }

  // Prints the header and the rows, `indent` spaces before each line; trailing
  // blanks are trimmed.
  void print(std::ostream& out, size_t indent = 0) const;

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace kelvane::cli
