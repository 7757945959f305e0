#include "core/proxy/event_lines.h"

namespace kelvane {

void EventLines::feed(std::string_view bytes, const Visit& visit) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    const bool whole = end != std::string_view::npos;
    bytes.remove_prefix(whole ? end + 1 : bytes.size());
    if (!skipping_ && partial_.size() + piece.size() > maxLineBytes_ + 1) {
      // One byte more is allowed for a "\r" that goes with the newline.
      skipping_ = true;
      ++overlong_;
      std::string().swap(partial_);  // Hands the memory back.
    }
    if (skipping_) {
      skipping_ = !whole;
      continue;
    }
    if (!whole) {
      partial_.append(piece);
    } else if (partial_.empty()) {
      deliver(piece, visit);  // The common case: straight from the caller's buffer.
    } else {
      partial_.append(piece);
      deliver(partial_, visit);
      partial_.clear();
    }
  }
}

void EventLines::finish(const Visit& visit) {
  if (!skipping_ && !partial_.empty()) deliver(partial_, visit);
  partial_.clear();
  skipping_ = false;
}

void EventLines::deliver(std::string_view line, const Visit& visit) {
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (line.size() > maxLineBytes_) {
    ++overlong_;
    return;
  }
  visit(line);
}

}  // namespace kelvane
