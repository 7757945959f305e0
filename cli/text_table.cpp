#include "cli/text_table.h"

#include <algorithm>
#include <cstdio>

#include "core/support/text.h"

namespace kelvane::cli {

std::string shown(std::string_view text) {
  std::string line = Text::validUtf8(text);
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

std::string clockTime(Date at, const Calendar& calendar) {
  const LocalTime t = calendar.local(at);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", t.hour, t.minute);
  return text;
}

std::string localDateTime(Date at, const Calendar& calendar) {
  const LocalTime t = calendar.local(at);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d ", t.year, t.month, t.day);
  return text + clockTime(at, calendar);
}

size_t displayWidth(std::string_view text) {
  // Every byte but a UTF-8 continuation byte starts a character.
  return size_t(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

void TextTable::add(std::vector<std::string> cells) {
  cells.resize(columns_.size());
  for (auto& cell : cells) cell = shown(cell);
  rows_.push_back(std::move(cells));
}

void TextTable::print(std::ostream& out, size_t indent) const {
  std::vector<size_t> widths;
  for (const auto& column : columns_) widths.push_back(displayWidth(column.title));
  for (const auto& row : rows_)
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], displayWidth(row[i]));
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text(indent, ' ');
    for (size_t i = 0; i < cells.size(); ++i) {
      const std::string pad(widths[i] - displayWidth(cells[i]), ' ');
      if (i > 0) text += "  ";
      text += columns_[i].align == Align::right ? pad + cells[i] : cells[i] + pad;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    out << text << "\n";
  };
  std::vector<std::string> titles;
  for (const auto& column : columns_) titles.push_back(column.title);
  line(titles);
  for (const auto& row : rows_) line(row);
}

}  // namespace kelvane::cli
